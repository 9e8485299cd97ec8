#include "platform/directoryhandle.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int openChild(int parent, const QByteArray &name)
{
    int fd;
    do {
        // O_NOFOLLOW: a link put in place of the name, even after mkdirat made it, is refused.
        fd = ::openat(parent, name.constData(), directoryFlags | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

DirectoryHandle::~DirectoryHandle()
{
    if (fd >= 0)
        ::close(fd);
}

DirectoryHandle::DirectoryHandle(DirectoryHandle &&other) noexcept
    : fd(other.fd)
{
    other.fd = -1;
}

DirectoryHandle &DirectoryHandle::operator=(DirectoryHandle &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

DirectoryHandle DirectoryHandle::open(const QString &path)
{
    return DirectoryHandle(::open(QFile::encodeName(path).constData(), directoryFlags));
}

DirectoryHandle DirectoryHandle::openBelow(const QString &relativePath, bool create) const
{
    if (fd < 0 || relativePath.startsWith(QLatin1Char('/')))
        return DirectoryHandle();
    // A duplicate, so that an empty path still gives a handle of its own.
    DirectoryHandle current(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    const QStringList parts = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (!current.isOpen() || part == QLatin1String(".."))
            return DirectoryHandle();
        if (part == QLatin1String("."))
            continue;
        const QByteArray name = QFile::encodeName(part);
        if (create && ::mkdirat(current.fd, name.constData(), 0755) != 0 && errno != EEXIST)
            return DirectoryHandle();
        current = DirectoryHandle(openChild(current.fd, name));
    }
    return current;
}
