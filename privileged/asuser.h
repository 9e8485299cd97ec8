#pragma once

#include "platform/accountdatabase.h"

#include <functional>

// Work done as a user, not as root: in a child process that has taken on the user's groups, group
// and user for good, so that the kernel grants it exactly what it grants the user.
namespace AsUser {

struct Result {
    bool ran = false;     // false: no child, or it ended without an answer
    int status = -1;      // what work returned
    int descriptor = -1;  // what work handed back (owned by the caller), or -1
};

// Runs work(&descriptor) in the child and returns its answer. The child is a fork of the threaded
// privileged side: work may make system calls and use data prepared beforehand, but must not take
// a lock (no Qt text codecs, no debug output, no name service).
Result run(const AccountDatabase::User &user, const std::function<int(int *descriptor)> &work);

} // namespace AsUser
