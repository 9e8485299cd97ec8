#pragma once

#include <QString>

// Deleting folders whose contents other accounts may have written.
namespace FileTree {

enum class Removal {
    Removed,
    Refused, // an unsafe name, or a parent that is the root directory
    Failed,  // missing, or something inside could not be deleted
};

// Deletes name inside the open directory parentDirectory, with everything in it. Symbolic links
// inside are removed, never followed, and nothing on another file system (a mount point inside)
// is touched, so the tree cannot lead the deletion elsewhere; its depth costs no descriptor or
// stack frame per level.
// Refuses a name that is empty, "." or ".." or holds "/", and a parent that is the root directory
// (so no top-level directory of the host is ever deleted).
Removal removeTree(int parentDirectory, const QString &name);

} // namespace FileTree
