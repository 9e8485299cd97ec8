#include "privileged/fileacl.h"

#include <QByteArray>
#include <QScopeGuard>

#include <sys/acl.h>

namespace FileAcl {

Result grantExclusiveAccess(int directory, unsigned uid)
{
    if (directory < 0)
        return Result::NotApplied;
    // Owner and the named user with everything, group and others with nothing.
    const QByteArray text = "u::rwx,u:" + QByteArray::number(uid) + ":rwx,g::---,m::rwx,o::---";
    acl_t acl = acl_from_text(text.constData());
    if (!acl)
        return Result::NotBuilt;
    auto freeAcl = qScopeGuard([acl] { acl_free(acl); });
    return acl_set_fd(directory, acl) == 0 ? Result::Applied : Result::NotApplied;
}

} // namespace FileAcl
