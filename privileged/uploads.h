#pragma once

#include <QString>

// Files users upload: below "$windir/TEMP/ambrix-USER/", the upload directory, which belongs to
// the user. Everything inside it is opened and created as the user, never as root.
namespace Uploads {

struct Target {
    quint32 status = 0; // a PrivilegedWire::UploadStatus
    int descriptor = -1; // the file, open for writing, owned by the caller
};

// The file fileName in targetDir (relative to the upload directory, created as needed), created or
// emptied for writing. Only the platform's own accounts upload.
Target open(const QString &user, const QString &targetDir, const QString &fileName);

} // namespace Uploads
