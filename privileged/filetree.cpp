#include "privileged/filetree.h"

#include <QFile>
#include <QScopeGuard>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

// The tree belongs to a user who may change it while it is being deleted, and it may be deep:
// every step is relative to one open directory, opened with O_NOFOLLOW, never leaves the file
// system the folder is on, and the walk holds one descriptor and no recursion whatever the
// depth (the way back up is checked against the identity recorded on the way down).

namespace {

using Identity = std::pair<dev_t, ino_t>;

Identity identityOf(const struct stat &info)
{
    return {info.st_dev, info.st_ino};
}

class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }
    void reset(int next = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = next;
    }

private:
    int fd;
};

int openDirectoryAt(int parentFd, const char *name)
{
    return ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Deletes what can go in the directory now and lists its sub-directories on the same file
// system, still to be emptied. Sub-directories on another file system (a mount point) stay.
std::vector<std::string> clearFiles(int dirFd, dev_t device, bool *ok)
{
    std::vector<std::string> subdirectories;
    const int readFd = ::dup(dirFd);
    DIR *dir = readFd < 0 ? nullptr : ::fdopendir(readFd);
    if (!dir) {
        if (readFd >= 0)
            ::close(readFd);
        *ok = false;
        return subdirectories;
    }
    auto closeDir = qScopeGuard([dir] { ::closedir(dir); });
    // Names first, deletions after: deleting while reading leaves what readdir sees unspecified.
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            names.push_back(entryName);
    }
    for (std::string &entryName : names) {
        struct stat info;
        if (::fstatat(dirFd, entryName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(info.st_mode)) {
            if (::unlinkat(dirFd, entryName.c_str(), 0) != 0)
                *ok = false;
        } else if (info.st_dev != device) {
            *ok = false;
        } else {
            subdirectories.push_back(std::move(entryName));
        }
    }
    return subdirectories;
}

// One directory on the way down: who it is, the name it has in its parent, and what is left
// of it to empty. Kept on the heap, so depth costs no descriptor and no stack frame.
struct Level {
    Identity identity;
    std::string name;
    std::vector<std::string> pending;
};

bool removeEntry(int parentFd, const char *name)
{
    struct stat top;
    if (::fstatat(parentFd, name, &top, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!S_ISDIR(top.st_mode))
        return ::unlinkat(parentFd, name, 0) == 0;
    const dev_t device = top.st_dev;

    Descriptor current(openDirectoryAt(parentFd, name));
    struct stat here;
    if (current.get() < 0 || ::fstat(current.get(), &here) != 0 || identityOf(here) != identityOf(top))
        return false;
    bool ok = true;
    std::vector<Level> levels;
    levels.push_back({identityOf(here), name, clearFiles(current.get(), device, &ok)});
    while (!levels.empty()) {
        Level &level = levels.back();
        if (!level.pending.empty()) {
            const std::string next = std::move(level.pending.back());
            level.pending.pop_back();
            const int childFd = openDirectoryAt(current.get(), next.c_str());
            struct stat child;
            if (childFd < 0 || ::fstat(childFd, &child) != 0 || child.st_dev != device) {
                if (childFd >= 0)
                    ::close(childFd);
                ok = false;
                continue;
            }
            current.reset(childFd);
            std::vector<std::string> pending = clearFiles(current.get(), device, &ok);
            levels.push_back({identityOf(child), next, std::move(pending)});
            continue;
        }
        const std::string emptied = level.name;
        levels.pop_back();
        if (levels.empty())
            break;
        // Back up one level, only into the directory we came from: if the tree was moved
        // meanwhile, ".." leads elsewhere and the deletion stops there.
        const int parent = ::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat parentInfo;
        if (parent < 0 || ::fstat(parent, &parentInfo) != 0 || identityOf(parentInfo) != levels.back().identity) {
            if (parent >= 0)
                ::close(parent);
            return false;
        }
        current.reset(parent);
        if (::unlinkat(current.get(), emptied.c_str(), AT_REMOVEDIR) != 0)
            ok = false;
    }
    current.reset();
    return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 && ok;
}

} // namespace

namespace FileTree {

Removal removeTree(int parentDirectory, const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QChar(0)))
        return Removal::Refused;
    struct stat parent, root;
    if (parentDirectory < 0 || ::fstat(parentDirectory, &parent) != 0 || ::stat("/", &root) != 0)
        return Removal::Failed;
    if (parent.st_dev == root.st_dev && parent.st_ino == root.st_ino)
        return Removal::Refused;
    return removeEntry(parentDirectory, QFile::encodeName(name).constData()) ? Removal::Removed
                                                                             : Removal::Failed;
}

} // namespace FileTree
