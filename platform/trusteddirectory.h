#pragma once

#include <QString>

// Directories whose contents the server must be able to trust: no other account can have put
// or swapped anything in them.
namespace TrustedDirectory {

// Creates the directory (that one level, mode 0755) when it is missing. True when path then
// names a directory, not a symbolic link, owned by the process's effective user or by root, and
// writable by no group and no other account.
bool prepare(const QString &path);

} // namespace TrustedDirectory
