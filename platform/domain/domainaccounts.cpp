#include "platform/domain/domainaccounts.h"

#include "platform/domain/domainwire.h"
#include "platform/netstatus.h"

namespace {

// What a status of the library names can depend on what the call was about: the same "none
// mapped" is an unknown user for a user operation and an unknown group for a group operation.
enum class Subject { Any, User, Group };

struct StatusMapping {
    quint32 library;
    Subject subject;
    quint32 status;
};

// The library's statuses (Windows system error codes, as a domain controller answers over
// SAMR) turned into the numbers the reply tables switch on. Statuses the tables already know
// (0, 5, 1320, 1321, 2220, 2221, ...) pass unchanged, and so does 1003, the library's answer when
// it cannot reach the controller or the controller refuses our own credentials: the tables'
// "any other" rows.
const StatusMapping statusMappings[] = {
    {1316, Subject::Any, NetStatus::UserExists},            // ERROR_USER_EXISTS
    {1318, Subject::Any, NetStatus::GroupExists},           // ERROR_GROUP_EXISTS
    {1317, Subject::Any, NetStatus::UserNotFound},          // ERROR_NO_SUCH_USER
    {1319, Subject::Any, NetStatus::GroupNotFound},         // ERROR_NO_SUCH_GROUP
    {1332, Subject::User, NetStatus::UserNotFound},         // ERROR_NONE_MAPPED
    {1332, Subject::Group, NetStatus::GroupNotFound},
    {1325, Subject::Any, NetStatus::PasswordTooShort},      // ERROR_PASSWORD_RESTRICTION
    {1168, Subject::Group, NetStatus::MembersPrimaryGroup}, // ERROR_NOT_FOUND: leaving the primary group
};

quint32 mapped(quint32 library, Subject subject)
{
    for (const StatusMapping &mapping : statusMappings) {
        if (mapping.library == library && (mapping.subject == Subject::Any || mapping.subject == subject))
            return mapping.status;
    }
    return library;
}

// Relative ids below this one are the domain's own accounts and groups.
const quint32 firstOrdinaryRid = 1000;
const quint32 normalAccountFlag = 0x0200; // UF_NORMAL_ACCOUNT

QString serverName(const QString &logonServer)
{
    QString name = logonServer.trimmed();
    while (name.startsWith(QLatin1Char('\\')))
        name.remove(0, 1);
    return name;
}

DomainHelper::Reply call(const DomainAccounts::Target &target, const QString &operation, QStringList args)
{
    args.prepend(serverName(target.server));
    args.prepend(operation);
    return DomainHelper::instance().call(target.credentials, args);
}

quint32 statusOf(const DomainAccounts::Target &target, Subject subject, const QString &operation,
                 const QStringList &args)
{
    return mapped(call(target, operation, args).status, subject);
}

// Where a name stands in the directory: unknown (the mapped not-found status), one of the
// protected accounts or groups, or ordinary.
struct Entry {
    quint32 status = NetStatus::Success;
    bool isProtected = false;
};

Entry lookUp(const DomainAccounts::Target &target, Subject subject, const QString &name)
{
    const quint32 notFound = subject == Subject::User ? NetStatus::UserNotFound : NetStatus::GroupNotFound;
    if (name.isEmpty())
        return {notFound, false};
    const DomainHelper::Reply reply = call(target, subject == Subject::User ? QStringLiteral("user_info")
                                                                            : QStringLiteral("group_info"),
                                           {name});
    if (reply.status != NetStatus::Success)
        return {mapped(reply.status, subject), false};
    const quint32 rid = reply.values.value(0).toUInt();
    const bool ordinaryAccount = subject == Subject::Group || (reply.values.value(1).toUInt() & normalAccountFlag);
    return {NetStatus::Success, rid < firstOrdinaryRid || !ordinaryAccount};
}

// The status that stops a change of an existing entry, or Success to go on.
quint32 changeableStatus(const DomainAccounts::Target &target, Subject subject, const QString &name)
{
    const Entry entry = lookUp(target, subject, name);
    if (entry.status != NetStatus::Success)
        return entry.status;
    return entry.isProtected ? quint32(NetStatus::AccessDenied) : quint32(NetStatus::Success);
}

// Creating over an existing entry: refused for a protected one, "exists" for any other.
quint32 creatableStatus(const DomainAccounts::Target &target, Subject subject, const QString &name, quint32 exists)
{
    const Entry entry = lookUp(target, subject, name);
    if (entry.status == NetStatus::Success)
        return entry.isProtected ? quint32(NetStatus::AccessDenied) : exists;
    const quint32 notFound = subject == Subject::User ? NetStatus::UserNotFound : NetStatus::GroupNotFound;
    return entry.status == notFound ? quint32(NetStatus::Success) : entry.status;
}

quint32 membershipStatus(const DomainAccounts::Target &target, const QString &group, const QString &user)
{
    const quint32 groupStatus = changeableStatus(target, Subject::Group, group);
    return groupStatus != NetStatus::Success ? groupStatus : changeableStatus(target, Subject::User, user);
}

// The operation's status, run only when the check before it let it go on.
quint32 statusAfter(quint32 check, const DomainAccounts::Target &target, Subject subject, const QString &operation,
                    const QStringList &args)
{
    return check != NetStatus::Success ? check : statusOf(target, subject, operation, args);
}

QString principalOf(const DomainAccounts::Target &target, const QString &account)
{
    return target.credentials.realm.isEmpty() ? account : account + QLatin1Char('@') + target.credentials.realm;
}

// The account part of "DOMAIN\user" or "user@REALM"; empty when what is left could name a
// service or a principal of another realm.
QString accountName(const QString &user)
{
    const QString name = user.section(QLatin1Char('\\'), -1).section(QLatin1Char('@'), 0, 0);
    return name.contains(QLatin1Char('/')) || name.contains(QChar(0)) ? QString() : name;
}

// The domain whose controller the target names.
class DomainBackend final : public AccountBackend
{
public:
    explicit DomainBackend(const DomainAccounts::Target &target) : target(target) {}

    quint32 addUser(const Accounts::UserInfo &info) const override
    {
        return statusAfter(creatableStatus(target, Subject::User, info.name, NetStatus::UserExists),
                           target, Subject::User, QStringLiteral("user_add"),
                           {info.name, info.password, info.fullName});
    }

    quint32 deleteUser(const QString &name) const override
    {
        return statusAfter(changeableStatus(target, Subject::User, name),
                           target, Subject::User, QStringLiteral("user_delete"), {name});
    }

    quint32 setUserInfo(const QString &name, const Accounts::UserInfo &info) const override
    {
        return statusAfter(changeableStatus(target, Subject::User, name),
                           target, Subject::User, QStringLiteral("user_set"),
                           {name, info.fullName, info.homeDir, info.profilePath, info.password});
    }

    quint32 setPassword(const QString &name, const QString &password) const override
    {
        if (const quint32 status = changeableStatus(target, Subject::User, name))
            return status;
        if (password.isEmpty())
            return NetStatus::PasswordTooShort;
        return statusOf(target, Subject::User, QStringLiteral("user_password"), {name, password});
    }

    quint32 changePassword(const QString &name, const QString &oldPassword,
                           const QString &newPassword) const override
    {
        if (const quint32 status = changeableStatus(target, Subject::User, name))
            return status;
        const QString account = accountName(name);
        if (account.isEmpty() || newPassword.isEmpty())
            return NetStatus::InvalidPassword;
        const DomainHelper::Reply reply = DomainHelper::instance().call(
            target.credentials,
            {QStringLiteral("change_password"), principalOf(target, account), oldPassword, newPassword});
        if (reply.status == NetStatus::Success)
            return NetStatus::Success;
        // Only a wrong old password counts as one (the login limiter counts those).
        const bool refused =
            reply.status >= DomainWire::passwordRefused && reply.status < 2 * DomainWire::passwordRefused;
        return refused ? quint32(NetStatus::PasswordTooShort) : quint32(NetStatus::InvalidPassword);
    }

    quint32 addGroup(const QString &group) const override
    {
        return statusAfter(creatableStatus(target, Subject::Group, group, NetStatus::GroupExists),
                           target, Subject::Group, QStringLiteral("group_add"), {group});
    }

    quint32 deleteGroup(const QString &group) const override
    {
        return statusAfter(changeableStatus(target, Subject::Group, group),
                           target, Subject::Group, QStringLiteral("group_delete"), {group});
    }

    quint32 addGroupMember(const QString &group, const QString &user) const override
    {
        return statusAfter(membershipStatus(target, group, user),
                           target, Subject::Group, QStringLiteral("member_add"), {group, user});
    }

    quint32 removeGroupMember(const QString &group, const QString &user) const override
    {
        return statusAfter(membershipStatus(target, group, user),
                           target, Subject::Group, QStringLiteral("member_delete"), {group, user});
    }

    Accounts::NameList groupMembers(const QString &group) const override
    {
        if (group.isEmpty())
            return {NetStatus::GroupNotFound, {}};
        const DomainHelper::Reply reply = call(target, QStringLiteral("members"), {group});
        return {mapped(reply.status, Subject::Group), reply.values};
    }

    Accounts::NameList groupNames(int maxCount) const override
    {
        const DomainHelper::Reply reply = call(target, QStringLiteral("groups"), {QString::number(maxCount)});
        return {mapped(reply.status, Subject::Group), reply.values};
    }

    QString memberName(const QString &user) const override { return accountName(user); }

    bool checkPassword(const QString &user, const QString &password) const override
    {
        const QString account = accountName(user);
        if (account.isEmpty() || password.isEmpty() || password.contains(QChar(0)))
            return false;
        const DomainHelper::Reply reply = DomainHelper::instance().call(
            target.credentials, {QStringLiteral("check_password"), principalOf(target, account), password});
        return reply.status == NetStatus::Success;
    }

private:
    const DomainAccounts::Target target;
};

} // namespace

std::unique_ptr<AccountBackend> DomainAccounts::onController(const Target &target)
{
    return std::make_unique<DomainBackend>(target);
}
