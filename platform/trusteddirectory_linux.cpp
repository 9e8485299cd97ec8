#include "platform/trusteddirectory.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace TrustedDirectory {

bool prepare(const QString &path)
{
    // Without a trailing "/", which would make lstat follow a link.
    const QByteArray name = QFile::encodeName(QDir::cleanPath(path));
    // An existing one is checked like a new one, so a failed mkdir needs no look of its own.
    ::mkdir(name.constData(), 0755);
    struct stat info;
    return ::lstat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_uid == ::geteuid() || info.st_uid == 0)
        && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace TrustedDirectory
