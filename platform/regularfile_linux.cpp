#include "platform/regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

bool openTruncated(QFile *file, const QString &path)
{
    // Non-blocking, so that a named pipe without a reader cannot stall the caller; truncation
    // waits until the file is known to be a plain one.
    const int fd = ::open(QFile::encodeName(path).constData(),
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

} // namespace RegularFile
