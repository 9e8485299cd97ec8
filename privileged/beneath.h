#pragma once

#include <QByteArray>
#include <QString>

// An open descriptor, closed when it goes.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor();
    Descriptor(Descriptor &&other) noexcept : fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    bool isOpen() const { return fd >= 0; }
    int get() const { return fd; }
    int release();

private:
    int fd;
};

// Every path the privileged side works on is reached from a directory it opened itself, one
// component at a time, never through a symbolic link, never onto another file system and never
// above where the walk began (openat2 with RESOLVE_BENEATH, RESOLVE_NO_SYMLINKS and
// RESOLVE_NO_XDEV, or the same walk by hand where the kernel lacks it). A name is never checked
// and then opened again by path: whatever is swapped in meanwhile, the walk refuses or stays put.
namespace Beneath {

// A directory the operator chose (a folder root, the upload or PXE root): links on its way are
// the operator's and are followed.
Descriptor openTrusted(const QString &path);

// Names are in the file system's encoding (QFile::encodeName), and nothing below but the path
// helpers at the end takes a lock or a text codec: a child forked from the threaded privileged
// side may call them.

// The directory name inside parent; name is one component.
Descriptor openDirectory(const Descriptor &parent, const QByteArray &name);

// The directory relativePath below from, its missing components created with mode when create is
// set. Refused (not open) for an absolute path or a ".." component; "." and empty components are
// skipped, so an empty path gives from again (a descriptor of its own).
Descriptor walk(const Descriptor &from, const QByteArray &relativePath, bool create, unsigned mode = 0755);

// A regular file with a single link, name inside directory, opened for writing (created with
// mode when missing, emptied otherwise); never through a link, never a device or a pipe.
Descriptor openRegularFileForWriting(const Descriptor &directory, const QByteArray &name, unsigned mode);

// One component: not empty, ".", ".." and without "/" or NUL.
bool isComponent(const QByteArray &name);

// The path below root, lexically: false when path is not root or inside it, or has a "." or ".."
// component. relative is "" for root itself.
bool relativeTo(const QString &path, const QString &root, QString *relative);

// The path of an open directory as the kernel names it now.
QString pathOf(const Descriptor &directory);

} // namespace Beneath
