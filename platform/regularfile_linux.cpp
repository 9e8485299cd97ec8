#include "platform/regularfile.h"

#include "platform/directoryhandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool openTruncatedAt(QFile *file, int directory, const QByteArray &name)
{
    // Non-blocking, so that a named pipe without a reader cannot stall the caller; truncation
    // waits until the file is known to be a plain one.
    const int fd = ::openat(directory, name.constData(),
                            O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // An empty file is left alone: truncating it anyway makes ext4 push all the data written
    // afterwards to disk when the file is closed, as if an existing file were being replaced.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1
        || fcntl(fd, F_SETFL, 0) != 0 || (info.st_size > 0 && ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return false;
    }
    if (!file->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace

namespace RegularFile {

bool openTruncated(QFile *file, const QString &path)
{
    return openTruncatedAt(file, AT_FDCWD, QFile::encodeName(path));
}

bool openTruncated(QFile *file, const DirectoryHandle &directory, const QString &name)
{
    if (!directory.isOpen() || name.contains(QLatin1Char('/')))
        return false;
    return openTruncatedAt(file, directory.descriptor(), QFile::encodeName(name));
}

bool readAll(const QString &path, QByteArray *content)
{
    content->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    QFile file;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *content = file.readAll();
    return file.error() == QFileDevice::NoError;
}

} // namespace RegularFile
