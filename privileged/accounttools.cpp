#include "privileged/accounttools.h"

#include "platform/accountdatabase.h"
#include "platform/netstatus.h"
#include "platform/programs.h"
#include "privileged/pam.h"

#include <QStringList>

#include <initializer_list>
#include <optional>
#include <utility>

// The shadow tools change the account files under their own locks; this file runs them. Tool exit
// codes are mapped, their messages never read.

namespace {

using AccountDatabase::findGroup;
using AccountDatabase::findUser;

// The primary group of every account this server creates.
const char usersGroup[] = "users";

const int toolTimeoutMs = 30000;

Programs::Result runTool(const char *path, const QStringList &args, const QByteArray &input = {})
{
    return Programs::run(QString::fromLatin1(path), args, toolTimeoutMs, input);
}

// Exit code 0 is success; the pairs map the exit codes that have a meaning, the rest (and a tool
// that did not run to its end) is an internal error.
quint32 statusOf(const Programs::Result &result, std::initializer_list<std::pair<int, quint32>> meanings)
{
    if (!result.exited())
        return NetStatus::InternalError;
    if (result.exitCode == 0)
        return NetStatus::Success;
    for (const auto &meaning : meanings) {
        if (meaning.first == result.exitCode)
            return meaning.second;
    }
    return NetStatus::InternalError;
}

bool isOrdinary(const AccountDatabase::User &user)
{
    return AccountDatabase::isOrdinaryUserId(user.uid);
}

bool isOrdinary(const AccountDatabase::Group &group)
{
    return AccountDatabase::isOrdinaryGroupId(group.gid);
}

quint32 writePassword(const QString &name, const QString &password)
{
    QByteArray line = name.toUtf8() + ':' + password.toUtf8() + '\n';
    const Programs::Result result = runTool(Programs::ChpasswdProgram, {}, line);
    line.fill('\0');
    if (!result.exited())
        return NetStatus::InternalError;
    return result.exitCode == 0 ? NetStatus::Success : NetStatus::PasswordTooShort;
}

// Success when the change may go ahead: a known, ordinary account of this host.
quint32 ordinaryUserStatus(const QString &name)
{
    const std::optional<AccountDatabase::User> entry = findUser(name);
    if (!entry)
        return NetStatus::UserNotFound;
    return isOrdinary(*entry) ? NetStatus::Success : NetStatus::AccessDenied;
}

quint32 removeAccount(const QString &name)
{
    return statusOf(runTool(Programs::UserdelProgram, {QStringLiteral("--"), name}), {{6, NetStatus::UserNotFound}});
}

// Where a user stands with a group, or why a membership change cannot even be tried.
struct Membership {
    quint32 status = NetStatus::Success;
    bool isListed = false;  // in the group's member list
    bool isPrimary = false; // the user's primary group
};

Membership membershipOf(const QString &group, const QString &user)
{
    Membership membership;
    const std::optional<AccountDatabase::Group> groupEntry = findGroup(group);
    const std::optional<AccountDatabase::User> userEntry = findUser(user);
    if (!groupEntry)
        membership.status = NetStatus::GroupNotFound;
    else if (!userEntry)
        membership.status = NetStatus::UserNotFound;
    else if (!isOrdinary(*groupEntry) || !isOrdinary(*userEntry))
        membership.status = NetStatus::AccessDenied;
    else {
        membership.isListed = groupEntry->members.contains(user);
        membership.isPrimary = userEntry->gid == groupEntry->gid;
    }
    return membership;
}

} // namespace

namespace AccountTools {

quint32 addUser(const QString &name, const QString &fullName, const QString &home, const QString &password)
{
    if (const std::optional<AccountDatabase::User> existing = findUser(name))
        return isOrdinary(*existing) ? NetStatus::UserExists : NetStatus::AccessDenied;
    // Users and groups share one name space, as on the console's other servers. It also keeps
    // userdel from ever taking a group with it: it removes only a primary group of the user's own
    // name, and ours is always "users".
    if (findGroup(name))
        return NetStatus::GroupExists;
    QStringList args{QStringLiteral("-N"), QStringLiteral("-g"), QString::fromLatin1(usersGroup),
                     QStringLiteral("-M"), QStringLiteral("-c"), fullName};
    if (!home.isEmpty())
        args << QStringLiteral("-d") << home;
    args << QStringLiteral("--") << name;
    const quint32 status = statusOf(runTool(Programs::UseraddProgram, args),
                                    {{9, NetStatus::UserExists}, {3, NetStatus::BadUsername}});
    if (status != NetStatus::Success || password.isEmpty())
        return status;
    const quint32 passwordStatus = writePassword(name, password);
    if (passwordStatus != NetStatus::Success)
        removeAccount(name); // creation is all or nothing
    return passwordStatus;
}

quint32 deleteUser(const QString &name)
{
    const std::optional<AccountDatabase::User> entry = findUser(name);
    if (entry && !isOrdinary(*entry))
        return NetStatus::AccessDenied;
    return removeAccount(name);
}

quint32 setUserInfo(const QString &name, const QString &fullName, const QString &home, const QString &password)
{
    if (const quint32 status = ordinaryUserStatus(name))
        return status;
    QStringList args{QStringLiteral("-c"), fullName};
    if (!home.isEmpty())
        args << QStringLiteral("-d") << home;
    args << QStringLiteral("--") << name;
    const quint32 status = statusOf(runTool(Programs::UsermodProgram, args),
                                    {{6, NetStatus::UserNotFound}, {3, NetStatus::InvalidParameter}});
    if (status != NetStatus::Success || password.isEmpty())
        return status;
    return writePassword(name, password);
}

quint32 setPassword(const QString &name, const QString &password)
{
    if (const quint32 status = ordinaryUserStatus(name))
        return status;
    return writePassword(name, password);
}

quint32 changePassword(const QString &name, const QString &oldPassword, const QString &newPassword)
{
    if (const quint32 status = ordinaryUserStatus(name))
        return status;
    // As root, changing a password through PAM never asks for the old one: check it first.
    if (!Pam::checkPassword(name, oldPassword, true))
        return NetStatus::InvalidPassword;
    return writePassword(name, newPassword);
}

quint32 addGroup(const QString &group)
{
    if (const std::optional<AccountDatabase::Group> existing = findGroup(group))
        return isOrdinary(*existing) ? NetStatus::GroupExists : NetStatus::AccessDenied;
    if (findUser(group))
        return NetStatus::UserExists;
    return statusOf(runTool(Programs::GroupaddProgram, {QStringLiteral("--"), group}),
                    {{9, NetStatus::GroupExists}, {3, NetStatus::BadUsername}});
}

quint32 deleteGroup(const QString &group)
{
    const std::optional<AccountDatabase::Group> entry = findGroup(group);
    if (entry && !isOrdinary(*entry))
        return NetStatus::AccessDenied;
    // 8: some account's primary group, which the host refuses to delete.
    return statusOf(runTool(Programs::GroupdelProgram, {QStringLiteral("--"), group}),
                    {{6, NetStatus::GroupNotFound}, {8, NetStatus::SpeGroupOp}});
}

quint32 addGroupMember(const QString &group, const QString &user)
{
    const Membership membership = membershipOf(group, user);
    if (membership.status != NetStatus::Success)
        return membership.status;
    // gpasswd answers 0 for an existing member too.
    if (membership.isListed || membership.isPrimary)
        return NetStatus::MemberInGroup;
    return statusOf(runTool(Programs::GpasswdProgram, {QStringLiteral("-a"), user, QStringLiteral("--"), group}),
                    {{3, NetStatus::GroupNotFound}});
}

quint32 removeGroupMember(const QString &group, const QString &user)
{
    const Membership membership = membershipOf(group, user);
    if (membership.status != NetStatus::Success)
        return membership.status;
    if (!membership.isListed)
        return membership.isPrimary ? NetStatus::MembersPrimaryGroup : NetStatus::MemberNotInGroup;
    return statusOf(runTool(Programs::GpasswdProgram, {QStringLiteral("-d"), user, QStringLiteral("--"), group}),
                    {{3, NetStatus::MemberNotInGroup}});
}

} // namespace AccountTools
