#include "platform/regularfile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

bool readAll(const QString &path, QByteArray *content, qint64 maxSize)
{
    content->clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    QFile file;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (maxSize >= 0 && info.st_size > maxSize)
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    // A file that grows while it is read is still held to the limit.
    *content = maxSize >= 0 ? file.read(maxSize + 1) : file.readAll();
    return file.error() == QFileDevice::NoError && (maxSize < 0 || content->size() <= maxSize);
}

} // namespace RegularFile
