#include "platform/fileacl.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <fcntl.h>
#include <sys/acl.h>
#include <unistd.h>

namespace {

// The identifiers this host hands out for its users (Accounts::lookupAccount).
const QLatin1String unixUserPrefix("S-1-22-1-");

bool uidOf(const QString &sid, uint *uid)
{
    if (!sid.startsWith(unixUserPrefix))
        return false;
    const QStringRef digits = sid.midRef(unixUserPrefix.size());
    bool ok = false;
    *uid = digits.toUInt(&ok);
    return ok && !digits.startsWith(QLatin1Char('+')) && !digits.startsWith(QLatin1Char('-'));
}

} // namespace

namespace FileAcl {

Result grantExclusiveAccess(const QString &path, const QString &sid)
{
    uint uid = 0;
    if (!uidOf(sid, &uid))
        return Result::NotBuilt;
    // Owner and the named user with everything, group and others with nothing.
    const QByteArray text = "u::rwx,u:" + QByteArray::number(uid) + ":rwx,g::---,m::rwx,o::---";
    acl_t acl = acl_from_text(text.constData());
    if (!acl)
        return Result::NotBuilt;
    auto freeAcl = qScopeGuard([acl] { acl_free(acl); });
    // The user may write inside these folders and could put a link where a sub-folder was:
    // the list must land on the folder itself, never on what a link points to. (cleanPath drops
    // a trailing "/", which would make the last link count as followed.)
    const QByteArray nativePath = QFile::encodeName(QDir::cleanPath(path));
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Result::NotApplied;
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    return acl_set_fd(fd, acl) == 0 ? Result::Applied : Result::NotApplied;
}

} // namespace FileAcl
