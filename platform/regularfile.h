#pragma once

#include <QByteArray>
#include <QString>

// Files at paths that someone else may control: never through a symbolic link, never anything
// but a plain file.
namespace RegularFile {

// The whole content of the regular file at path; false when the last component is a symbolic
// link, names anything but a regular file, cannot be read, or is larger than maxSize (when given).
bool readAll(const QString &path, QByteArray *content, qint64 maxSize = -1);

} // namespace RegularFile
