#include "privateaccounts.h"

#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

extern char **environ;

namespace {

// What the account and share tools write: the account files, the share registry, and the
// per-uid login records that useradd resets; and the PXE root, which clients write into.
const char *const privatePaths[] = {"/etc", "/var/lib/samba", "/var/log/lastlog", "/var/log/faillog",
                                    "/var/lib/config"};

bool fail(const char *step, const std::string &what)
{
    std::fprintf(stderr, "Private accounts: %s %s failed: %s\n", step, what.c_str(), std::strerror(errno));
    return false;
}

bool copyTree(const std::string &from, const std::string &to)
{
    const char *argv[] = {"/bin/cp", "-a", from.c_str(), to.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0
        || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail("copying", from);
    return true;
}

} // namespace

namespace PrivateAccounts {

bool enter()
{
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare", "of the mount namespace");
    // Without this the mounts below would propagate back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("making private", "/");
    // The share tool's package creates this; a fresh host may not have it yet.
    mkdir("/var/lib/samba", 0755);

    char scratchTemplate[] = "/tmp/ambrix-accounts-XXXXXX";
    const char *scratch = mkdtemp(scratchTemplate);
    if (!scratch)
        return fail("creating", "the scratch directory");
    // The copies live on a tmpfs of this namespace: nothing of them reaches the host's disk. The
    // bind mounts keep the tmpfs alive; the scratch directory itself goes.
    bool ok = mount("tmpfs", scratch, "tmpfs", 0, "mode=0700") == 0 || fail("mounting a tmpfs on", scratch);
    int index = 0;
    for (const char *path : privatePaths) {
        struct stat info;
        const std::string copy = std::string(scratch) + "/" + std::to_string(index++);
        if (ok && stat(path, &info) == 0)
            ok = copyTree(path, copy) && (mount(copy.c_str(), path, nullptr, MS_BIND, nullptr) == 0
                                          || fail("bind-mounting a copy over", path));
    }
    umount2(scratch, MNT_DETACH);
    rmdir(scratch);
    return ok;
}

} // namespace PrivateAccounts
