#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

class DirectoryHandle;

// Files at paths that someone else may control: never through a symbolic link, never anything
// but a plain file.
namespace RegularFile {

// Opens path for writing, created if missing and emptied otherwise; the QFile then owns the
// descriptor. False when the last component is a symbolic link or names anything but a regular
// file with a single link (a device, a pipe, or a hard link to some other file).
bool openTruncated(QFile *file, const QString &path);
// The same for the file name inside the open directory; name is one component, never a path.
bool openTruncated(QFile *file, const DirectoryHandle &directory, const QString &name);

// The whole content of the regular file at path; false when the last component is a symbolic
// link, names anything but a regular file, or cannot be read.
bool readAll(const QString &path, QByteArray *content);

} // namespace RegularFile
