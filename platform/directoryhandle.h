#pragma once

#include <QString>

// An open directory. Whatever is opened or created through it stays inside it, however names
// around it are renamed or replaced by links meanwhile: directories that other accounts may
// write are walked with these, never by path.
class DirectoryHandle
{
public:
    DirectoryHandle() = default;
    ~DirectoryHandle();
    DirectoryHandle(DirectoryHandle &&other) noexcept;
    DirectoryHandle &operator=(DirectoryHandle &&other) noexcept;
    DirectoryHandle(const DirectoryHandle &) = delete;
    DirectoryHandle &operator=(const DirectoryHandle &) = delete;

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }

    // The directory at path, which the operator chose: links on the way are followed.
    static DirectoryHandle open(const QString &path);

    // The directory relativePath below this one, reached one component at a time; a missing
    // component is created (mode 0755) when create is set. Not open for an absolute path, a ".."
    // component, or a link or anything but a directory at any position ("." and empty
    // components are skipped).
    DirectoryHandle openBelow(const QString &relativePath, bool create) const;

private:
    explicit DirectoryHandle(int descriptor)
        : fd(descriptor)
    {
    }

    int fd = -1;
};
