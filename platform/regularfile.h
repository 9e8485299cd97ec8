#pragma once

#include <QFile>
#include <QString>

// Writing at a path that someone else may control: never through a symbolic link, never into
// anything but a plain file.
namespace RegularFile {

// Opens path for writing, created if missing and emptied otherwise; the QFile then owns the
// descriptor. False when the last component is a symbolic link or names anything but a regular
// file with a single link (a device, a pipe, or a hard link to some other file).
bool openTruncated(QFile *file, const QString &path);

} // namespace RegularFile
