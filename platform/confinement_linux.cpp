#include "platform/confinement.h"

#include "platform/accountdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <grp.h>
#include <linux/capability.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <sched.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

std::optional<AccountDatabase::User> servingAccount(QString *error)
{
    const std::optional<AccountDatabase::User> account =
        AccountDatabase::findUser(QString::fromLatin1(Confinement::ServingAccount));
    if (!account) {
        *error = QStringLiteral("The system account %1 is missing: create it (systemd-sysusers with the package's "
                                "file, or useradd --system --user-group %1) and start the server again")
                     .arg(QLatin1String(Confinement::ServingAccount));
    } else if (account->uid == 0 || account->gid == 0) {
        *error = QStringLiteral("The system account %1 must not have root's user or group id")
                     .arg(QLatin1String(Confinement::ServingAccount));
        return std::nullopt;
    }
    return account;
}

// The file keeps its owner and its other bits; the serving account's group may read it (and
// enter it, for a directory). Only root's own files are changed: anybody else's are theirs.
bool shareWithGroup(const QString &path, quint32 gid, mode_t groupBits)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0)
        return errno == ENOENT;
    if (info.st_uid != 0 || S_ISLNK(info.st_mode))
        return true;
    return (info.st_gid == gid || ::chown(name.constData(), uid_t(-1), gid_t(gid)) == 0)
        && ((info.st_mode & groupBits) == groupBits || ::chmod(name.constData(), (info.st_mode & 07777) | groupBits) == 0);
}

long lastCapability()
{
    QFile file(QStringLiteral("/proc/sys/kernel/cap_last_cap"));
    bool ok = false;
    const long value = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLong(&ok) : 0;
    return ok ? value : CAP_LAST_CAP;
}

bool dropCapabilities(QString *error)
{
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        *error = systemError("clearing the ambient capabilities");
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capset, &header, data) != 0) {
        *error = systemError("clearing the capabilities");
        return false;
    }
    return true;
}

bool becomeServingAccount(const AccountDatabase::User &account, QString *error)
{
    // The bounding set goes first, while dropping it is still allowed: nothing executed later can
    // be given a capability either.
    for (long capability = 0; capability <= lastCapability(); ++capability) {
        if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) {
            *error = systemError("dropping the capability bounding set");
            return false;
        }
    }
    const uid_t uid = uid_t(account.uid);
    const gid_t gid = gid_t(account.gid);
    // Whoever started the process asked to have it ended with them (a test, a supervisor): the
    // change of account clears that wish, so it is made again.
    int deathSignal = 0;
    const pid_t parent = ::getppid();
    ::prctl(PR_GET_PDEATHSIG, &deathSignal, 0, 0, 0);
    if (::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0 || ::setgroups(0, nullptr) != 0
        || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        *error = systemError("becoming the serving account");
        return false;
    }
    if (deathSignal != 0) {
        ::prctl(PR_SET_PDEATHSIG, deathSignal, 0, 0, 0);
        if (::getppid() != parent)
            ::raise(deathSignal);
    }
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 || ruid != uid
        || euid != uid || suid != uid || rgid != gid || egid != gid || sgid != gid || ::getgroups(0, nullptr) != 0
        || ::setuid(0) == 0) {
        *error = QStringLiteral("root could still be regained after becoming the serving account");
        return false;
    }
    return true;
}

// What serving needs: files, sockets, threads, processes for its helpers (the domain helper,
// wget), time, memory. Not there, among others: mounts, namespaces, module loading, tracing,
// keyrings, BPF, identity changes, raw sockets. A refused call fails with EPERM. (Not logged:
// the C library tries clone3 at every thread it starts, and the log would be that.)
const char *const allowedCalls[] = {
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "pwritev", "preadv2", "pwritev2",
    "lseek", "close", "close_range", "open", "openat", "stat", "fstat", "lstat", "newfstatat", "statx", "fstatfs",
    "statfs", "access", "faccessat", "faccessat2", "readlink", "readlinkat", "getdents", "getdents64", "getcwd",
    "chdir", "fchdir", "mkdir", "mkdirat", "rmdir", "unlink", "unlinkat", "rename", "renameat", "renameat2",
    "link", "linkat", "symlink", "symlinkat", "chmod", "fchmod", "fchmodat", "utime", "utimes", "utimensat",
    "futimesat", "truncate", "ftruncate", "fallocate", "fsync", "fdatasync", "sync_file_range", "fadvise64",
    "readahead", "flock", "fcntl", "dup", "dup2", "dup3", "pipe", "pipe2", "umask", "getxattr", "lgetxattr",
    "fgetxattr", "listxattr", "llistxattr", "flistxattr", "copy_file_range", "sendfile", "splice", "tee",
    "mmap", "munmap", "mprotect", "mremap", "madvise", "brk", "msync", "mincore", "membarrier",
    "socketpair", "connect", "bind", "listen", "accept", "accept4", "getsockname", "getpeername", "setsockopt",
    "getsockopt", "sendto", "recvfrom", "sendmsg", "recvmsg", "sendmmsg", "recvmmsg", "shutdown",
    "poll", "ppoll", "select", "pselect6", "epoll_create", "epoll_create1", "epoll_ctl", "epoll_wait",
    "epoll_pwait", "epoll_pwait2", "eventfd", "eventfd2", "timerfd_create", "timerfd_settime", "timerfd_gettime",
    "signalfd", "signalfd4", "inotify_init", "inotify_init1", "inotify_add_watch", "inotify_rm_watch",
    "fork", "vfork", "execve", "execveat", "wait4", "waitid", "exit", "exit_group", "kill", "tgkill", "tkill",
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigtimedwait", "rt_sigsuspend", "rt_sigpending",
    "sigaltstack", "pidfd_open", "pidfd_send_signal",
    "futex", "futex_waitv", "set_robust_list", "get_robust_list", "set_tid_address", "rseq", "sched_yield",
    "sched_getaffinity", "sched_getparam", "sched_getscheduler", "sched_get_priority_max",
    "sched_get_priority_min", "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday",
    "time", "times", "getrusage", "getrlimit", "prlimit64", "setrlimit", "alarm", "getitimer", "setitimer",
    "getpid", "getppid", "gettid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid",
    "getgroups", "getpgrp", "getpgid", "getsid", "setsid", "setpgid", "uname", "sysinfo", "prctl", "arch_prctl",
    "getrandom", "memfd_create", "capget", "getcpu", "getpriority", "restart_syscall",
};

bool addRule(scmp_filter_ctx filter, const char *name, uint32_t action = SCMP_ACT_ALLOW)
{
    const int call = seccomp_syscall_resolve_name(name);
    // A name this architecture lacks needs no rule.
    return call == __NR_SCMP_ERROR || seccomp_rule_add(filter, action, call, 0) == 0;
}

bool installFilter(QString *error)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter) {
        *error = QStringLiteral("the system-call filter could not be made");
        return false;
    }
    bool ok = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    // A tree of the allowed calls rather than a list: every call of the server passes the filter.
    seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const char *name : allowedCalls)
        ok = ok && addRule(filter, name);
    // Threads and processes, never in new namespaces. clone3 hides its flags from the filter:
    // "not there" makes the C library use clone.
    constexpr scmp_datum_t namespaces = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID
                                        | CLONE_NEWNET | CLONE_NEWCGROUP;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, namespaces, 0)) == 0;
    ok = ok && addRule(filter, "clone3", SCMP_ACT_ERRNO(ENOSYS));
    // Local and internet sockets, and netlink for the interface addresses; no raw or packet
    // sockets, no kernel crypto.
    for (const int domain : {AF_UNIX, AF_INET, AF_INET6, AF_NETLINK})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(socket), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(domain))) == 0;
    // Any device control but pushing input into a terminal.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, SCMP_A1(SCMP_CMP_NE, scmp_datum_t(TIOCSTI))) == 0;
    ok = ok && seccomp_load(filter) == 0;
    if (!ok)
        *error = systemError("installing the system-call filter");
    seccomp_release(filter);
    return ok;
}

} // namespace

namespace Confinement {

bool isRoot()
{
    return ::geteuid() == 0;
}

bool shareSettings(const QString &settingsPath, QString *error)
{
    const std::optional<AccountDatabase::User> account = servingAccount(error);
    if (!account)
        return false;
    shareWithGroup(QFileInfo(settingsPath).path(), account->gid, S_IRGRP | S_IXGRP);
    shareWithGroup(settingsPath, account->gid, S_IRGRP);
    return true;
}

bool prepareFiles(const QString &settingsPath, const QString &mediaDirectory, QString *error)
{
    const std::optional<AccountDatabase::User> account = servingAccount(error);
    if (!account || !shareSettings(settingsPath, error))
        return false;
    // The media directory is the serving account's to write, in a parent of root's.
    const QByteArray media = QFile::encodeName(QDir::cleanPath(mediaDirectory));
    QDir().mkpath(QFileInfo(mediaDirectory).path());
    ::mkdir(media.constData(), 0755);
    struct stat info;
    if (::lstat(media.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0)
        ::lchown(media.constData(), uid_t(account->uid), gid_t(account->gid));
    return true;
}

bool confine(QString *error)
{
    if (isRoot()) {
        const std::optional<AccountDatabase::User> account = servingAccount(error);
        if (!account || !becomeServingAccount(*account, error))
            return false;
    }
    if (!dropCapabilities(error))
        return false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *error = systemError("setting no_new_privs");
        return false;
    }
    return installFilter(error);
}

} // namespace Confinement
