#include "platform/accounts.h"

#include "platform/accountdatabase.h"
#include "platform/fieldcheck.h"
#include "platform/netstatus.h"
#include "platform/privileged.h"
#include "platform/servername.h"

#include <optional>

// Reads go to the name service from here; every change goes to the privileged side, which checks
// it again. The checks below answer each case the way the account tools always did.

namespace {

using AccountDatabase::findGroup;
using AccountDatabase::findUser;

bool isAccountName(const QString &name)
{
    return FieldCheck::isAcceptable(FieldKind::AccountName, name.toStdString());
}

bool isUsablePassword(const QString &password)
{
    return FieldCheck::isAcceptable(FieldKind::Password, password.toStdString());
}

// Success when a request about name may be tried here: this host, and a name it could hold.
quint32 nameStatus(const QString &server, const QString &name, quint32 badName)
{
    if (!ServerName::isThisHost(server))
        return NetStatus::InvalidComputer;
    return isAccountName(name) ? quint32(NetStatus::Success) : badName;
}

// Success when the change may go ahead: a known, ordinary account of this host.
quint32 ordinaryUserStatus(const QString &server, const QString &name)
{
    if (const quint32 status = nameStatus(server, name, NetStatus::UserNotFound))
        return status;
    const std::optional<AccountDatabase::User> entry = findUser(name);
    if (!entry)
        return NetStatus::UserNotFound;
    return AccountDatabase::isOrdinaryUserId(entry->uid) ? NetStatus::Success : NetStatus::AccessDenied;
}

// Where a membership change cannot even be tried.
quint32 membershipStatus(const QString &server, const QString &group, const QString &user)
{
    if (const quint32 status = nameStatus(server, group, NetStatus::GroupNotFound))
        return status;
    return isAccountName(user) ? quint32(NetStatus::Success) : quint32(NetStatus::UserNotFound);
}

// The host's accounts, for a request that named server.
class HostBackend final : public AccountBackend
{
public:
    explicit HostBackend(const QString &server) : server(server) {}

    quint32 addUser(const Accounts::UserInfo &info) const override
    {
        if (const quint32 status = nameStatus(server, info.name, NetStatus::BadUsername))
            return status;
        if (!info.password.isEmpty() && !isUsablePassword(info.password))
            return NetStatus::PasswordTooShort;
        if (!FieldCheck::isPlainText(info.fullName.toStdString()))
            return NetStatus::InvalidParameter;
        return Privileged::addUser(info.name, info.fullName, info.homeDir, info.password);
    }

    quint32 deleteUser(const QString &name) const override
    {
        if (const quint32 status = nameStatus(server, name, NetStatus::UserNotFound))
            return status;
        return Privileged::deleteUser(name);
    }

    quint32 setUserInfo(const QString &name, const Accounts::UserInfo &info) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        if (!FieldCheck::isPlainText(info.fullName.toStdString())
            || !FieldCheck::isAcceptable(FieldKind::OptionalPath, info.homeDir.toStdString()))
            return NetStatus::InvalidParameter;
        if (!info.password.isEmpty() && !isUsablePassword(info.password))
            return NetStatus::PasswordTooShort;
        return Privileged::setUserInfo(name, info.fullName, info.homeDir, info.password);
    }

    quint32 setPassword(const QString &name, const QString &password) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        if (!isUsablePassword(password))
            return NetStatus::PasswordTooShort;
        return Privileged::setPassword(name, password);
    }

    quint32 changePassword(const QString &name, const QString &oldPassword,
                           const QString &newPassword) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        if (!isUsablePassword(oldPassword))
            return NetStatus::InvalidPassword;
        // The old password decides first, as the change itself would.
        if (!isUsablePassword(newPassword))
            return Privileged::checkPassword(name, oldPassword, true) ? NetStatus::PasswordTooShort
                                                                      : NetStatus::InvalidPassword;
        return Privileged::changePassword(name, oldPassword, newPassword);
    }

    quint32 addGroup(const QString &group) const override
    {
        if (const quint32 status = nameStatus(server, group, NetStatus::BadUsername))
            return status;
        return Privileged::addGroup(group);
    }

    quint32 deleteGroup(const QString &group) const override
    {
        if (const quint32 status = nameStatus(server, group, NetStatus::GroupNotFound))
            return status;
        return Privileged::deleteGroup(group);
    }

    quint32 addGroupMember(const QString &group, const QString &user) const override
    {
        if (const quint32 status = membershipStatus(server, group, user))
            return status;
        return Privileged::addGroupMember(group, user);
    }

    quint32 removeGroupMember(const QString &group, const QString &user) const override
    {
        if (const quint32 status = membershipStatus(server, group, user))
            return status;
        return Privileged::removeGroupMember(group, user);
    }

    Accounts::NameList groupMembers(const QString &group) const override
    {
        if (!ServerName::isThisHost(server))
            return {NetStatus::InvalidComputer, {}};
        const std::optional<AccountDatabase::Group> entry = findGroup(group);
        if (!entry)
            return {NetStatus::GroupNotFound, {}};
        // Members by primary group are not in the group's own list: the users database has them.
        QStringList names = entry->members;
        const QStringList primaryMembers = AccountDatabase::usersWithPrimaryGroup(entry->gid);
        for (const QString &name : primaryMembers) {
            if (!names.contains(name))
                names.append(name);
        }
        return {NetStatus::Success, names};
    }

    Accounts::NameList groupNames(int maxCount) const override
    {
        if (!ServerName::isThisHost(server))
            return {NetStatus::InvalidComputer, {}};
        bool more = false;
        QStringList names = AccountDatabase::ordinaryGroupNames(maxCount, &more);
        return {more ? quint32(NetStatus::MoreData) : quint32(NetStatus::Success), names};
    }

    QString memberName(const QString &user) const override { return user; }
    bool checkPassword(const QString &, const QString &) const override { return false; }

private:
    const QString server;
};

} // namespace

namespace Accounts {

std::unique_ptr<AccountBackend> onHost(const QString &server)
{
    return std::make_unique<HostBackend>(server);
}

} // namespace Accounts
