#pragma once

#include <QString>

// What tells one state of a file from another without reading it: which file the path names
// now, its size and its last change, to the nanosecond. A rewrite, a replacement by rename or a
// removal all give another stamp.
struct FileStamp {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    static FileStamp of(const QString &path);

    bool operator==(const FileStamp &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size
               && modifiedNs == o.modifiedNs && changedNs == o.changedNs;
    }
    bool operator!=(const FileStamp &o) const { return !(*this == o); }
};
