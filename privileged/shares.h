#pragma once

#include <QString>

// Network shares of folders. Answers NetStatus numbers (0 for success).
namespace Shares {

// Shares the existing folder at the absolute path under name, writable, without guest access,
// for at most maxUses connections at a time. NetStatus::DuplicateShare when the name is taken.
quint32 addShare(const QString &name, const QString &path, const QString &remark, int maxUses);

// Removes the share. The server (a computer name, possibly with leading backslashes) must be
// empty or name this host. NetStatus::NetNameNotFound when there is no such share.
quint32 removeShare(const QString &server, const QString &name);

} // namespace Shares
