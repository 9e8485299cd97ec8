#include "system.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int OutputTimeoutMs = 10000;

std::vector<char *> argumentVector(const std::vector<std::string> &command)
{
    std::vector<char *> argv;
    for (const std::string &argument : command)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Standard input, output and error on /dev/null.
void quietStreams()
{
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO)
        ::close(null);
}

long long nowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Runs the command with the current environment, the stream (standard output or error) read into
// *captured and the others on /dev/null; its exit status, -1 when it did not end within the time.
int runCapturing(const std::vector<std::string> &command, int stream, std::string *captured)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return 127;
    const pid_t pid = fork();
    if (pid == 0) {
        quietStreams();
        ::dup2(pipeEnds[1], stream);
        std::vector<char *> argv = argumentVector(command);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(pipeEnds[1]);
    const long long deadline = nowMs() + OutputTimeoutMs;
    bool timedOut = false;
    while (pid > 0) {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        const long long left = deadline - nowMs();
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) == 0) {
            timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        char buffer[4096];
        const ssize_t count = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        captured->append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipeEnds[0]);
    if (pid < 0)
        return 127;
    const int status = System::waitForChild(pid);
    return timedOut ? -1 : status;
}

} // namespace

namespace System {

void resetInheritedState()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The server ignores SIGPIPE, and ignored signals would stay ignored across exec.
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        std::signal(signalNumber, SIG_DFL);
    if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
        for (long fd = STDERR_FILENO + 1, last = sysconf(_SC_OPEN_MAX); fd < last; ++fd)
            ::close(static_cast<int>(fd));
    }
}

bool lookupUser(long uid, UserAccount *user)
{
    const passwd *entry = uid >= 0 ? getpwuid(static_cast<uid_t>(uid)) : nullptr;
    if (!entry)
        return false;
    *user = {static_cast<long>(entry->pw_uid), static_cast<long>(entry->pw_gid), entry->pw_name, entry->pw_dir,
             entry->pw_shell && *entry->pw_shell ? entry->pw_shell : "/bin/sh"};
    return true;
}

long startChild(std::string *error)
{
    const pid_t pid = fork();
    if (pid < 0)
        *error = std::strerror(errno);
    return pid;
}

int waitForChild(long pid)
{
    int status = 0;
    while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void exitNow(int code)
{
    _exit(code);
}

bool becomeUser(const UserAccount &user, std::string *error)
{
    const uid_t uid = static_cast<uid_t>(user.uid);
    const gid_t gid = static_cast<gid_t>(user.gid);
    if (uid == 0) {
        *error = "the account is root";
        return false;
    }
    if (initgroups(user.name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    // Real, effective and saved ids all changed only if root cannot be had back.
    if (setuid(0) == 0 || seteuid(0) == 0 || getuid() != uid || geteuid() != uid || getgid() != gid
        || getegid() != gid) {
        *error = "root privileges remain";
        return false;
    }
    if (chdir(user.home.c_str()) != 0 && chdir("/") != 0) {
        *error = std::strerror(errno);
        return false;
    }
    umask(022);
    return true;
}

void useEnvironment(const std::vector<std::string> &environment)
{
    clearenv();
    for (const std::string &entry : environment) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

Access accessOf(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Access::Missing : Access::Unreadable;
    return access(path.c_str(), R_OK) == 0 ? Access::Readable : Access::Unreadable;
}

bool isExecutable(const std::string &path)
{
    return access(path.c_str(), X_OK) == 0;
}

std::string outputOf(const std::vector<std::string> &command)
{
    std::string output;
    return runCapturing(command, STDOUT_FILENO, &output) == 0 ? output : std::string();
}

bool run(const std::vector<std::string> &command, std::string *error)
{
    std::string errors;
    const int status = runCapturing(command, STDERR_FILENO, &errors);
    if (status == 0)
        return true;
    errors = errors.substr(0, errors.find('\n'));
    *error = !errors.empty() ? errors : status < 0 ? "no end within its time" : "exit status " + std::to_string(status);
    return false;
}

bool startDetached(const std::vector<std::string> &command, std::string *error)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0 || setsid() < 0) {
        *error = std::strerror(errno);
        return false;
    }
    // The grandchild is no session leader, so it can never take a controlling terminal, and
    // init adopts it once this process ends.
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(report[0]);
        quietStreams();
        std::vector<char *> argv = argumentVector(command);
        execvp(argv[0], argv.data());
        const int reason = errno;
        (void)!::write(report[1], &reason, sizeof reason);
        _exit(127);
    }
    ::close(report[1]);
    int reason = pid < 0 ? errno : 0;
    ssize_t count = 0;
    // Nothing to read means the exec succeeded: the descriptor closed with it.
    while (pid > 0 && (count = ::read(report[0], &reason, sizeof reason)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (pid > 0 && count <= 0)
        return true;
    if (pid > 0)
        waitForChild(pid);
    *error = std::strerror(reason);
    return false;
}

} // namespace System
