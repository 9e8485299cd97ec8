#include "platform/accounts.h"

#include "platform/logon.h"
#include "platform/netstatus.h"
#include "platform/programs.h"
#include "platform/servername.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

// The shadow tools change the account files under their own locks; this file runs them and
// reads the databases through NSS. Tool exit codes are mapped, their messages never read.

namespace {

// The primary group of every account this server creates.
const char usersGroup[] = "users";

const int toolTimeoutMs = 30000;

Programs::Result runTool(const char *path, const QStringList &args, const QByteArray &input = {})
{
    return Programs::run(QString::fromLatin1(path), args, toolTimeoutMs, input);
}

// Exit code 0 is success; the pairs map the exit codes that have a meaning, the rest (and a
// tool that did not run to its end) is an internal error.
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

// A name the tools would take for an option, or that NSS would read shorter, names no account.
bool isUsableName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('-')) && !name.contains(QChar(0))
        && !name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r'));
}

bool isUsablePassword(const QString &password)
{
    return !password.isEmpty() && !password.contains(QChar(0)) && !password.contains(QLatin1Char('\n'))
        && !password.contains(QLatin1Char('\r'));
}

// The ids of the host's ordinary accounts and groups (login.defs), the only ones the platform
// may change: root and the system's own accounts and groups (sudo, shadow, disk...) lie outside.
struct IdRange {
    quint64 min = 1000;
    quint64 max = 60000;
    bool contains(quint64 id) const { return id != 0 && id >= min && id <= max; }
};

// Read afresh: an operator's change to login.defs takes effect at the next request.
IdRange ordinaryIds(const char *minKey, const char *maxKey)
{
    IdRange range;
    QFile file(QStringLiteral("/etc/login.defs"));
    if (!file.open(QIODevice::ReadOnly))
        return range;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        if (fields.size() < 2 || fields.at(0).startsWith('#'))
            continue;
        bool ok = false;
        const quint64 value = fields.at(1).toULongLong(&ok, 0); // the tools accept 0x and 0 prefixes too
        if (ok && fields.at(0) == minKey)
            range.min = value;
        else if (ok && fields.at(0) == maxKey)
            range.max = value;
    }
    return range;
}

struct UserEntry {
    uid_t uid;
    gid_t gid;
    bool isOrdinary() const { return ordinaryIds("UID_MIN", "UID_MAX").contains(uid); }
};

struct GroupEntry {
    gid_t gid;
    QStringList members;
    bool isOrdinary() const { return ordinaryIds("GID_MIN", "GID_MAX").contains(gid); }
};

const size_t initialBufferSize = 16384;
const size_t maxBufferSize = size_t(1) << 24;

// One call of a reentrant lookup (getpwnam_r and its kin), repeated with a bigger buffer while
// the entry does not fit; the walks stay on that entry meanwhile. The entry's texts point into
// the buffer.
template <typename Entry, typename Lookup>
bool fetchEntry(std::vector<char> &buffer, Entry *entry, Lookup lookup)
{
    Entry *found = nullptr;
    int error = 0;
    while ((error = lookup(entry, buffer.data(), buffer.size(), &found)) == ERANGE
           && buffer.size() < maxBufferSize)
        buffer.resize(buffer.size() * 2);
    return error == 0 && found;
}

// getpwnam_r or getgrnam_r for a name, the entry turned into a value before its buffer goes.
template <typename Entry, typename Value, typename Lookup, typename Convert>
std::optional<Value> findByName(const QString &name, Lookup lookup, Convert convert)
{
    if (!isUsableName(name))
        return std::nullopt;
    const QByteArray key = name.toUtf8();
    std::vector<char> buffer(initialBufferSize);
    Entry entry{};
    const auto byName = [&key, lookup](Entry *e, char *data, size_t size, Entry **found) {
        return lookup(key.constData(), e, data, size, found);
    };
    if (!fetchEntry(buffer, &entry, byName))
        return std::nullopt;
    return convert(entry);
}

std::optional<UserEntry> findUser(const QString &name)
{
    return findByName<passwd, UserEntry>(name, getpwnam_r,
                                         [](const passwd &e) { return UserEntry{e.pw_uid, e.pw_gid}; });
}

std::optional<GroupEntry> findGroup(const QString &name)
{
    return findByName<group, GroupEntry>(name, getgrnam_r, [](const group &e) {
        GroupEntry result{e.gr_gid, {}};
        for (char **member = e.gr_mem; member && *member; ++member)
            result.members.append(QString::fromUtf8(*member));
        return result;
    });
}

// getpwent and getgrent keep one reading position per process, so a walk through either
// database holds its lock from the first entry to the last. The locks guard nothing else.
class DatabaseWalk
{
public:
    static QStringList usersWithPrimaryGroup(gid_t gid)
    {
        QMutexLocker locker(&passwdLock);
        QStringList names;
        setpwent();
        std::vector<char> buffer(initialBufferSize);
        passwd entry{};
        while (fetchEntry(buffer, &entry, getpwent_r)) {
            if (entry.pw_gid == gid)
                names.append(QString::fromUtf8(entry.pw_name));
        }
        endpwent();
        return names;
    }

    // The platform's groups only: the host's system groups are not for the console to hand out.
    static QStringList groupNames(int maxCount, bool *more)
    {
        const IdRange ordinary = ordinaryIds("GID_MIN", "GID_MAX");
        QMutexLocker locker(&groupLock);
        QStringList names;
        setgrent();
        std::vector<char> buffer(initialBufferSize);
        group entry{};
        *more = false;
        while (fetchEntry(buffer, &entry, getgrent_r)) {
            if (!ordinary.contains(entry.gr_gid))
                continue;
            if (names.size() == maxCount) {
                *more = true;
                break;
            }
            names.append(QString::fromUtf8(entry.gr_name));
        }
        endgrent();
        return names;
    }

private:
    static QMutex passwdLock;
    static QMutex groupLock;
};

QMutex DatabaseWalk::passwdLock;
QMutex DatabaseWalk::groupLock;

// Where a user stands with a group, or why a membership change cannot even be tried.
struct Membership {
    quint32 status = NetStatus::Success;
    bool isListed = false;  // in the group's member list
    bool isPrimary = false; // the user's primary group
};

Membership membershipOf(const QString &server, const QString &group, const QString &user)
{
    Membership membership;
    if (!ServerName::isThisHost(server)) {
        membership.status = NetStatus::InvalidComputer;
        return membership;
    }
    const std::optional<GroupEntry> groupEntry = findGroup(group);
    const std::optional<UserEntry> userEntry = findUser(user);
    if (!groupEntry)
        membership.status = NetStatus::GroupNotFound;
    else if (!userEntry)
        membership.status = NetStatus::UserNotFound;
    else if (!groupEntry->isOrdinary() || !userEntry->isOrdinary())
        membership.status = NetStatus::AccessDenied;
    else {
        membership.isListed = groupEntry->members.contains(user);
        membership.isPrimary = userEntry->gid == groupEntry->gid;
    }
    return membership;
}

quint32 writePassword(const QString &name, const QString &password)
{
    if (!isUsablePassword(password))
        return NetStatus::PasswordTooShort;
    QByteArray line = name.toUtf8() + ':' + password.toUtf8() + '\n';
    const Programs::Result result = runTool(Programs::ChpasswdProgram, {}, line);
    line.fill('\0');
    if (!result.exited())
        return NetStatus::InternalError;
    return result.exitCode == 0 ? NetStatus::Success : NetStatus::PasswordTooShort;
}

// Success when the change may go ahead: a known, ordinary account of this host.
quint32 ordinaryUserStatus(const QString &server, const QString &name)
{
    if (!ServerName::isThisHost(server))
        return NetStatus::InvalidComputer;
    const std::optional<UserEntry> entry = findUser(name);
    if (!entry)
        return NetStatus::UserNotFound;
    return entry->isOrdinary() ? NetStatus::Success : NetStatus::AccessDenied;
}

quint32 removeAccount(const QString &name)
{
    return statusOf(runTool(Programs::UserdelProgram, {QStringLiteral("--"), name}), {{6, NetStatus::UserNotFound}});
}

// The host's accounts, for a request that named server.
class HostBackend final : public AccountBackend
{
public:
    explicit HostBackend(const QString &server) : server(server) {}

    quint32 addUser(const Accounts::UserInfo &info) const override
    {
        if (!ServerName::isThisHost(server))
            return NetStatus::InvalidComputer;
        if (!isUsableName(info.name))
            return NetStatus::BadUsername;
        if (!info.password.isEmpty() && !isUsablePassword(info.password))
            return NetStatus::PasswordTooShort;
        if (const std::optional<UserEntry> existing = findUser(info.name))
            return existing->isOrdinary() ? NetStatus::UserExists : NetStatus::AccessDenied;
        // Users and groups share one name space, as on the console's other servers. It also keeps
        // userdel from ever taking a group with it: it removes only a primary group of the
        // user's own name, and ours is always "users".
        if (findGroup(info.name))
            return NetStatus::GroupExists;
        QStringList args{QStringLiteral("-N"), QStringLiteral("-g"), QString::fromLatin1(usersGroup),
                         QStringLiteral("-M"), QStringLiteral("-c"), info.fullName};
        if (!info.homeDir.isEmpty())
            args << QStringLiteral("-d") << info.homeDir;
        args << QStringLiteral("--") << info.name;
        const quint32 status = statusOf(runTool(Programs::UseraddProgram, args),
                                        {{9, NetStatus::UserExists}, {3, NetStatus::BadUsername}});
        if (status != NetStatus::Success || info.password.isEmpty())
            return status;
        const quint32 passwordStatus = writePassword(info.name, info.password);
        if (passwordStatus != NetStatus::Success)
            removeAccount(info.name); // creation is all or nothing
        return passwordStatus;
    }

    quint32 deleteUser(const QString &name) const override
    {
        if (!ServerName::isThisHost(server))
            return NetStatus::InvalidComputer;
        if (!isUsableName(name))
            return NetStatus::UserNotFound;
        const std::optional<UserEntry> entry = findUser(name);
        if (entry && !entry->isOrdinary())
            return NetStatus::AccessDenied;
        return removeAccount(name);
    }

    quint32 setUserInfo(const QString &name, const Accounts::UserInfo &info) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        QStringList args{QStringLiteral("-c"), info.fullName};
        if (!info.homeDir.isEmpty())
            args << QStringLiteral("-d") << info.homeDir;
        args << QStringLiteral("--") << name;
        const quint32 status = statusOf(runTool(Programs::UsermodProgram, args),
                                        {{6, NetStatus::UserNotFound}, {3, NetStatus::InvalidParameter}});
        if (status != NetStatus::Success || info.password.isEmpty())
            return status;
        return writePassword(name, info.password);
    }

    quint32 setPassword(const QString &name, const QString &password) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        return writePassword(name, password);
    }

    quint32 changePassword(const QString &name, const QString &oldPassword,
                           const QString &newPassword) const override
    {
        if (const quint32 status = ordinaryUserStatus(server, name))
            return status;
        // As root, changing a password through PAM never asks for the old one: check it first.
        if (!Logon::checkCurrentPassword(name, oldPassword))
            return NetStatus::InvalidPassword;
        return writePassword(name, newPassword);
    }

    quint32 addGroup(const QString &group) const override
    {
        if (!ServerName::isThisHost(server))
            return NetStatus::InvalidComputer;
        if (!isUsableName(group))
            return NetStatus::BadUsername;
        if (const std::optional<GroupEntry> existing = findGroup(group))
            return existing->isOrdinary() ? NetStatus::GroupExists : NetStatus::AccessDenied;
        if (findUser(group))
            return NetStatus::UserExists;
        return statusOf(runTool(Programs::GroupaddProgram, {QStringLiteral("--"), group}),
                        {{9, NetStatus::GroupExists}, {3, NetStatus::BadUsername}});
    }

    quint32 deleteGroup(const QString &group) const override
    {
        if (!ServerName::isThisHost(server))
            return NetStatus::InvalidComputer;
        if (!isUsableName(group))
            return NetStatus::GroupNotFound;
        const std::optional<GroupEntry> entry = findGroup(group);
        if (entry && !entry->isOrdinary())
            return NetStatus::AccessDenied;
        // 8: some account's primary group, which the host refuses to delete.
        return statusOf(runTool(Programs::GroupdelProgram, {QStringLiteral("--"), group}),
                        {{6, NetStatus::GroupNotFound}, {8, NetStatus::SpeGroupOp}});
    }

    quint32 addGroupMember(const QString &group, const QString &user) const override
    {
        const Membership membership = membershipOf(server, group, user);
        if (membership.status != NetStatus::Success)
            return membership.status;
        // gpasswd answers 0 for an existing member too.
        if (membership.isListed || membership.isPrimary)
            return NetStatus::MemberInGroup;
        return statusOf(runTool(Programs::GpasswdProgram, {QStringLiteral("-a"), user, QStringLiteral("--"), group}),
                        {{3, NetStatus::GroupNotFound}});
    }

    quint32 removeGroupMember(const QString &group, const QString &user) const override
    {
        const Membership membership = membershipOf(server, group, user);
        if (membership.status != NetStatus::Success)
            return membership.status;
        if (!membership.isListed)
            return membership.isPrimary ? NetStatus::MembersPrimaryGroup : NetStatus::MemberNotInGroup;
        return statusOf(runTool(Programs::GpasswdProgram, {QStringLiteral("-d"), user, QStringLiteral("--"), group}),
                        {{3, NetStatus::MemberNotInGroup}});
    }

    Accounts::NameList groupMembers(const QString &group) const override
    {
        if (!ServerName::isThisHost(server))
            return {NetStatus::InvalidComputer, {}};
        const std::optional<GroupEntry> entry = findGroup(group);
        if (!entry)
            return {NetStatus::GroupNotFound, {}};
        // Members by primary group are not in the group's own list: the users database has them.
        QStringList names = entry->members;
        const QStringList primaryMembers = DatabaseWalk::usersWithPrimaryGroup(entry->gid);
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
        QStringList names = DatabaseWalk::groupNames(maxCount, &more);
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

bool isSystemAccount(const QString &name)
{
    const std::optional<UserEntry> entry = findUser(name);
    return entry && (entry->uid == 0 || entry->uid < ordinaryIds("UID_MIN", "UID_MAX").min);
}

AccountLookup lookupAccount(const QString &name)
{
    const std::optional<UserEntry> entry = findUser(name);
    if (!entry)
        return {NetStatus::NoneMapped, {}, {}};
    // The usual identifier of a Unix user among the console's security identifiers.
    return {NetStatus::Success, QStringLiteral("S-1-22-1-") + QString::number(entry->uid),
            QStringLiteral("S-1-22-2-") + QString::number(entry->gid)};
}

} // namespace Accounts
