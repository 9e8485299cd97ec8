#include "platform/fileacl.h"

#include "platform/directoryhandle.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/acl.h>
#include <unistd.h>

namespace {

// The identifiers this host hands out for its users and groups (Accounts::lookupAccount).
const QLatin1String unixUserPrefix("S-1-22-1-");
const QLatin1String unixGroupPrefix("S-1-22-2-");

bool idOf(const QString &sid, QLatin1String prefix, uint *id)
{
    if (!sid.startsWith(prefix))
        return false;
    const QStringRef digits = sid.midRef(prefix.size());
    bool ok = false;
    *id = digits.toUInt(&ok);
    return ok && !digits.startsWith(QLatin1Char('+')) && !digits.startsWith(QLatin1Char('-'));
}

} // namespace

namespace FileAcl {

namespace {

Result grantExclusiveAccessAt(int fd, const QString &sid)
{
    uint uid = 0;
    if (!idOf(sid, unixUserPrefix, &uid))
        return Result::NotBuilt;
    // Owner and the named user with everything, group and others with nothing.
    const QByteArray text = "u::rwx,u:" + QByteArray::number(uid) + ":rwx,g::---,m::rwx,o::---";
    acl_t acl = acl_from_text(text.constData());
    if (!acl)
        return Result::NotBuilt;
    auto freeAcl = qScopeGuard([acl] { acl_free(acl); });
    return acl_set_fd(fd, acl) == 0 ? Result::Applied : Result::NotApplied;
}

} // namespace

Result grantExclusiveAccess(const QString &path, const QString &sid)
{
    uint uid = 0;
    if (!idOf(sid, unixUserPrefix, &uid))
        return Result::NotBuilt;
    // The user may write inside these folders and could put a link where a sub-folder was:
    // the list must land on the folder itself, never on what a link points to. (cleanPath drops
    // a trailing "/", which would make the last link count as followed.)
    const QByteArray nativePath = QFile::encodeName(QDir::cleanPath(path));
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Result::NotApplied;
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    return grantExclusiveAccessAt(fd, sid);
}

Result grantExclusiveAccess(const DirectoryHandle &directory, const QString &sid)
{
    return directory.isOpen() ? grantExclusiveAccessAt(directory.descriptor(), sid) : Result::NotApplied;
}

Result giveToAccount(QFileDevice &file, const QString &userSid, const QString &groupSid)
{
    uint uid = 0;
    uint gid = 0;
    if (!idOf(userSid, unixUserPrefix, &uid) || !idOf(groupSid, unixGroupPrefix, &gid))
        return Result::NotBuilt;
    const int fd = file.handle();
    return fd >= 0 && ::fchown(fd, uid_t(uid), gid_t(gid)) == 0 ? Result::Applied : Result::NotApplied;
}

} // namespace FileAcl
