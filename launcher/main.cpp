// "psexec" for this server: opens a file or folder with the default application of the user
// who holds a desktop session, inside that session. The server's privileged side starts it as
// root with the argument list it would give the Windows tool and never looks at the outcome, so
// the exit code and the one line on standard error are for operators. Nothing is ever run as
// root, and nothing of the user's is read as root.
#include "desktopentry.h"
#include "launchrequest.h"
#include "logindsession.h"
#include "sessionprocesses.h"
#include "system.h"
#include "usermanager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum ExitCode { Opened = 0, BadArguments = 2, NoSession = 3, BadPath = 4, NoApplication = 5, NotStarted = 6 };

const char XdgOpen[] = "/usr/bin/xdg-open";
const char XdgMime[] = "/usr/bin/xdg-mime";
const char UserPath[] = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games";

// Taken from the session's processes; the desktop's own variables let xdg-open use the desktop's
// opener. What logind knows of the session comes from logind instead.
const std::vector<std::string> SessionVariables = {
    "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS",
    "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "XDG_SESSION_TYPE", "DESKTOP_SESSION",
    "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "LANG"};

// One line, whatever the path from the network holds.
int fail(int code, std::string why)
{
    for (char &c : why) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    std::fprintf(stderr, "psexec: %s\n", why.c_str());
    return code;
}

std::string firstField(const std::string &output)
{
    std::string field = output.substr(0, output.find_first_of(";\n"));
    field.erase(0, field.find_first_not_of(" \t"));
    field.erase(field.find_last_not_of(" \t\r") + 1);
    return field;
}

std::string variable(const char *name, const std::string &fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? value : fallback;
}

// The entries of base, with those of overrides in place of the ones of the same name.
std::vector<std::string> merged(std::vector<std::string> base, const std::vector<std::string> &overrides)
{
    for (const std::string &entry : overrides) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const auto same = [&name](const std::string &other) { return other.compare(0, name.size(), name) == 0; };
        base.erase(std::remove_if(base.begin(), base.end(), same), base.end());
        base.push_back(entry);
    }
    return base;
}

bool hasDisplay(const std::vector<std::string> &environment)
{
    return std::any_of(environment.begin(), environment.end(), [](const std::string &entry) {
        return (entry.compare(0, 8, "DISPLAY=") == 0 && entry.size() > 8)
            || (entry.compare(0, 16, "WAYLAND_DISPLAY=") == 0 && entry.size() > 16);
    });
}

std::vector<std::string> dataDirectories()
{
    std::vector<std::string> directories{variable("XDG_DATA_HOME", variable("HOME", "/") + "/.local/share")};
    std::string list = variable("XDG_DATA_DIRS", "/usr/local/share:/usr/share") + ":";
    for (std::size_t start = 0, end; (end = list.find(':', start)) != std::string::npos; start = end + 1) {
        if (list.compare(start, 1, "/") == 0)
            directories.push_back(list.substr(start, end - start));
    }
    return directories;
}

// xdg-open takes one argument only: the extra one needs the default application's own command.
int defaultApplicationCommand(const std::string &path, const std::string &user, std::vector<std::string> *command)
{
    const std::string type = firstField(System::outputOf({XdgMime, "query", "filetype", path}));
    if (type.empty())
        return fail(NoApplication, "the type of " + path + " is unknown");
    const std::string id = firstField(System::outputOf({XdgMime, "query", "default", type}));
    if (id.empty())
        return fail(NoApplication, user + " has no default application for " + type);
    const std::string entry = DesktopEntry::find(id, dataDirectories());
    if (entry.empty())
        return fail(NoApplication, "the desktop entry " + id + " of " + user + " was not found");
    std::string exec;
    if (!DesktopEntry::readExec(entry, &exec) || !DesktopEntry::expandExec(exec, path, command))
        return fail(NoApplication, "the desktop entry " + entry + " has no usable Exec line");
    return Opened;
}

// Runs as the user, in the user's home, with the session's environment.
int openAsUser(const LaunchRequest &request, const std::string &user, const std::vector<std::string> &environment)
{
    const std::string path = linuxPath(request.path);
    if (path.empty() || path[0] != '/')
        return fail(BadPath, path + " is not an absolute path");
    const System::Access access = System::accessOf(path);
    if (access == System::Access::Missing)
        return fail(BadPath, path + " does not exist");
    if (access == System::Access::Unreadable)
        return fail(BadPath, user + " cannot read " + path);
    if (!System::isExecutable(XdgOpen))
        return fail(NotStarted, std::string(XdgOpen) + " is missing (package xdg-utils)");
    std::vector<std::string> command{XdgOpen, path};
    if (!request.extra.empty()) {
        if (const int code = defaultApplicationCommand(path, user, &command))
            return code;
        command.push_back(request.extra);
    }
    std::string error;
    // In the user's own manager where it runs, so that nothing of the launch holds the program;
    // otherwise a process of its own that init adopts.
    const bool started = UserManager::runsIn(variable("XDG_RUNTIME_DIR", ""))
                           ? System::run(UserManager::startCommand(command, environment), &error)
                           : System::startDetached(command, &error);
    if (!started)
        return fail(NotStarted, "cannot start " + command.front() + ": " + error);
    return Opened;
}

} // namespace

int main(int argc, char *argv[])
{
    System::resetInheritedState();
    LaunchRequest request;
    if (!parseLaunchRequest(argc, argv, &request))
        return fail(BadArguments, "usage: psexec -accepteula -i SESSION -s PROGRAM PATH [ARGUMENT]");
    if (!isExplorer(request.program))
        return fail(BadArguments, "only explorer.exe is supported, not " + request.program);
    const long session = sessionProcess(request.session);
    if (session < 0)
        return fail(NoSession, "no session to open " + linuxPath(request.path) + " in (session " + request.session + ")");
    const std::string name = "session " + request.session;
    // Where logind runs, it alone says what a session is and whose.
    const bool fromLogind = LogindSession::isRunning();
    LogindSession::Session logind;
    if (fromLogind && !LogindSession::find(session, &logind))
        return fail(NoSession, name + " is no live session of logind's");
    const long uid = fromLogind ? logind.uid : SessionProcesses::ownerOf(session);
    if (uid < 0)
        return fail(NoSession, name + " does not exist");
    if (uid == 0)
        return fail(NoSession, name + " belongs to root, and nothing is started as root");
    System::UserAccount user;
    if (!System::lookupUser(uid, &user))
        return fail(NoSession, "the owner of " + name + " (uid " + std::to_string(uid) + ") has no account");
    std::string error;
    const long child = System::startChild(&error);
    if (child < 0)
        return fail(NotStarted, "cannot fork: " + error);
    if (child == 0) {
        if (!System::becomeUser(user, &error))
            System::exitNow(fail(NotStarted, "cannot become " + user.name + ": " + error));
        // Read as the user: the environment of the user's own processes is the user's to read,
        // and root may lack the capability to read anybody else's (the unit's bounding set).
        const std::vector<long> processes =
            fromLogind ? LogindSession::processes(logind.id, uid) : SessionProcesses::kernelSession(session, uid);
        std::vector<std::string> environment =
            merged(SessionProcesses::graphicalEnvironment(processes, SessionVariables), logind.environment);
        if (!hasDisplay(environment))
            System::exitNow(fail(NoSession, name + " of " + user.name
                                                + " has no graphical environment (none of its processes has DISPLAY or WAYLAND_DISPLAY)"));
        environment = merged(environment, {"HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
                                           "SHELL=" + user.shell, std::string("PATH=") + UserPath});
        System::useEnvironment(environment);
        System::exitNow(openAsUser(request, user.name, environment));
    }
    return System::waitForChild(child);
}
