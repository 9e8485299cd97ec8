#include "platform/accountdatabase.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace {

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

// A name the tools would take for an option, or that the name service would read shorter,
// names no account.
bool isUsableName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('-')) && !name.contains(QChar(0))
        && !name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r'));
}

const size_t initialBufferSize = 16384;
const size_t maxBufferSize = size_t(1) << 24;

// One call of a reentrant lookup (getpwnam_r and its kin), repeated with a bigger buffer while
// the entry does not fit. The entry's texts point into the buffer.
template <typename Entry, typename Lookup>
bool fetchEntry(std::vector<char> &buffer, Entry *entry, Lookup lookup)
{
    Entry *found = nullptr;
    int error = 0;
    while ((error = lookup(entry, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < maxBufferSize)
        buffer.resize(buffer.size() * 2);
    return error == 0 && found;
}

// One reentrant lookup (getpwnam_r and its kin), its entry turned into a value before its buffer
// goes.
template <typename Entry, typename Lookup, typename Convert>
auto lookUp(Lookup lookup, Convert convert) -> std::optional<decltype(convert(std::declval<const Entry &>()))>
{
    std::vector<char> buffer(initialBufferSize);
    Entry entry{};
    if (!fetchEntry(buffer, &entry, lookup))
        return std::nullopt;
    return convert(entry);
}

AccountDatabase::User userOf(const passwd &e)
{
    return {e.pw_uid, e.pw_gid, QString::fromUtf8(e.pw_name), QString::fromUtf8(e.pw_dir)};
}

AccountDatabase::Group groupOf(const group &e)
{
    AccountDatabase::Group result{e.gr_gid, {}};
    for (char **member = e.gr_mem; member && *member; ++member)
        result.members.append(QString::fromUtf8(*member));
    return result;
}

// getpwent and getgrent keep one reading position per process, so a walk through either
// database holds its lock from the first entry to the last. The locks guard nothing else.
QMutex &passwdWalkLock()
{
    static QMutex *lock = new QMutex; // outlives detached threads at exit
    return *lock;
}

QMutex &groupWalkLock()
{
    static QMutex *lock = new QMutex;
    return *lock;
}

} // namespace

namespace AccountDatabase {

std::optional<User> findUser(const QString &name)
{
    if (!isUsableName(name))
        return std::nullopt;
    const QByteArray key = name.toUtf8();
    return lookUp<passwd>([&key](passwd *e, char *data, size_t size, passwd **found) {
        return getpwnam_r(key.constData(), e, data, size, found);
    }, userOf);
}

std::optional<User> findUserById(quint32 uid)
{
    return lookUp<passwd>([uid](passwd *e, char *data, size_t size, passwd **found) {
        return getpwuid_r(uid_t(uid), e, data, size, found);
    }, userOf);
}

std::optional<Group> findGroup(const QString &name)
{
    if (!isUsableName(name))
        return std::nullopt;
    const QByteArray key = name.toUtf8();
    return lookUp<group>([&key](group *e, char *data, size_t size, group **found) {
        return getgrnam_r(key.constData(), e, data, size, found);
    }, groupOf);
}

QStringList usersWithPrimaryGroup(quint32 gid)
{
    QMutexLocker locker(&passwdWalkLock());
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

QStringList ordinaryGroupNames(int maxCount, bool *more)
{
    const IdRange ordinary = ordinaryIds("GID_MIN", "GID_MAX");
    QMutexLocker locker(&groupWalkLock());
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

QList<quint32> groupIdsOf(const User &user)
{
    const QByteArray name = user.name.toUtf8();
    std::vector<gid_t> ids(64);
    int count = int(ids.size());
    while (getgrouplist(name.constData(), gid_t(user.gid), ids.data(), &count) < 0 && count > int(ids.size()))
        ids.resize(size_t(count));
    QList<quint32> result;
    for (int i = 0; i < count && i < int(ids.size()); ++i)
        result.append(ids[size_t(i)]);
    if (!result.contains(user.gid))
        result.prepend(user.gid);
    return result;
}

bool isOrdinaryUserId(quint32 uid)
{
    return ordinaryIds("UID_MIN", "UID_MAX").contains(uid);
}

bool isOrdinaryGroupId(quint32 gid)
{
    return ordinaryIds("GID_MIN", "GID_MAX").contains(gid);
}

bool isSystemUserId(quint32 uid)
{
    return uid == 0 || uid < ordinaryIds("UID_MIN", "UID_MAX").min;
}

} // namespace AccountDatabase
