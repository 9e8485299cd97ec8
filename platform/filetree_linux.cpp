#include "platform/filetree.h"

#include <QFile>
#include <QScopeGuard>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Every step is relative to an open directory and opens with O_NOFOLLOW, so replacing a
// folder by a link while the deletion runs does not redirect it.
bool removeEntry(int parentFd, const char *name)
{
    struct stat info;
    if (::fstatat(parentFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(parentFd, name, 0) == 0;
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    auto closeDir = qScopeGuard([dir] { ::closedir(dir); });
    // Names first, deletions after: deleting while reading leaves what readdir sees unspecified.
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            names.push_back(entryName);
    }
    bool ok = true;
    for (const std::string &entryName : names)
        ok = removeEntry(::dirfd(dir), entryName.c_str()) && ok;
    return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 && ok;
}

} // namespace

namespace FileTree {

Removal removeTree(const QString &parentDir, const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QChar(0)) || parentDir.contains(QChar(0)))
        return Removal::Refused;
    const int parentFd = ::open(QFile::encodeName(parentDir).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return Removal::Failed;
    auto closeParent = qScopeGuard([parentFd] { ::close(parentFd); });
    struct stat parent, root;
    if (::fstat(parentFd, &parent) != 0 || ::stat("/", &root) != 0)
        return Removal::Failed;
    if (parent.st_dev == root.st_dev && parent.st_ino == root.st_ino)
        return Removal::Refused;
    return removeEntry(parentFd, QFile::encodeName(name).constData()) ? Removal::Removed
                                                                       : Removal::Failed;
}

} // namespace FileTree
