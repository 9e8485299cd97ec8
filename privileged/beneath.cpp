#include "privileged/beneath.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

Descriptor::~Descriptor()
{
    if (fd >= 0)
        ::close(fd);
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = other.release();
    }
    return *this;
}

int Descriptor::release()
{
    const int released = fd;
    fd = -1;
    return released;
}

namespace {

// One component below parent, as openat2 resolves it under the three rules; where the kernel
// has no openat2, the same by hand: the name is one component other than "..", so only a link at
// it or a mount on it could lead elsewhere, and both are refused.
int openChild(int parent, const QByteArray &name, int flags)
{
    open_how how{};
    how.flags = quint64(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const long fd = ::syscall(SYS_openat2, parent, name.constData(), &how, sizeof how);
        if (fd >= 0)
            return int(fd);
        // A rename elsewhere on the file system makes the kernel refuse rather than guess.
        if (errno == EAGAIN || errno == EINTR)
            continue;
        if (errno != ENOSYS)
            return -1;
        break;
    }
    const int fd = ::openat(parent, name.constData(), flags | O_CLOEXEC | O_NOFOLLOW);
    struct stat parentInfo, childInfo;
    if (fd >= 0 && (::fstat(parent, &parentInfo) != 0 || ::fstat(fd, &childInfo) != 0
                    || parentInfo.st_dev != childInfo.st_dev)) {
        ::close(fd);
        errno = EXDEV;
        return -1;
    }
    return fd;
}

QStringList componentsOf(const QString &path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

int duplicate(const Descriptor &from)
{
    return ::fcntl(from.get(), F_DUPFD_CLOEXEC, 0);
}

} // namespace

namespace Beneath {

Descriptor openTrusted(const QString &path)
{
    return Descriptor(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool isComponent(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

Descriptor openDirectory(const Descriptor &parent, const QByteArray &name)
{
    if (!parent.isOpen() || !isComponent(name))
        return Descriptor();
    return Descriptor(openChild(parent.get(), name, O_RDONLY | O_DIRECTORY));
}

Descriptor walk(const Descriptor &from, const QByteArray &relativePath, bool create, unsigned mode)
{
    if (!from.isOpen() || relativePath.startsWith('/') || relativePath.contains('\0'))
        return Descriptor();
    Descriptor current(duplicate(from));
    for (const QByteArray &part : relativePath.split('/')) {
        if (!current.isOpen() || part == "..")
            return Descriptor();
        if (part.isEmpty() || part == ".")
            continue;
        if (create && ::mkdirat(current.get(), part.constData(), mode) != 0 && errno != EEXIST)
            return Descriptor();
        current = Descriptor(openChild(current.get(), part, O_RDONLY | O_DIRECTORY));
    }
    return current;
}

bool relativeTo(const QString &path, const QString &root, QString *relative)
{
    if (!path.startsWith(QLatin1Char('/')) || !root.startsWith(QLatin1Char('/')))
        return false;
    const QStringList pathParts = componentsOf(path);
    const QStringList rootParts = componentsOf(root);
    for (const QStringList *parts : {&pathParts, &rootParts}) {
        for (const QString &part : *parts) {
            if (part == QLatin1String(".") || part == QLatin1String(".."))
                return false;
        }
    }
    if (pathParts.size() < rootParts.size() || pathParts.mid(0, rootParts.size()) != rootParts)
        return false;
    *relative = pathParts.mid(rootParts.size()).join(QLatin1Char('/'));
    return true;
}

QString pathOf(const Descriptor &directory)
{
    return QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(directory.get()));
}

Descriptor openRegularFileForWriting(const Descriptor &directory, const QByteArray &name, unsigned mode)
{
    if (!directory.isOpen() || !isComponent(name))
        return Descriptor();
    // Non-blocking, so that a named pipe without a reader cannot stall the open; emptied only
    // once it is known to be a plain file.
    Descriptor file(::openat(directory.get(), name.constData(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat info;
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1
        || ::fcntl(file.get(), F_SETFL, 0) != 0 || (info.st_size > 0 && ::ftruncate(file.get(), 0) != 0))
        return Descriptor();
    return file;
}

} // namespace Beneath
