#pragma once

#include <string>
#include <vector>

// A login session as systemd-logind keeps it, for machines where logind runs: its owner, its
// processes, and what the desktop's programs need to know of it.
namespace LogindSession {

// Booted with systemd, and logind has run.
bool isRunning();

struct Session {
    std::string id;                        // logind's own ("3", "c1")
    long uid = -1;
    // "NAME=value": XDG_SESSION_ID, XDG_SESSION_TYPE, XDG_SESSION_CLASS, and as far as the session
    // has them DISPLAY, XDG_SEAT, XDG_SESSION_DESKTOP, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS.
    std::vector<std::string> environment;
};

// The session the process belongs to; false when it belongs to none, or to one that is closing.
bool find(long pid, Session *session);

// The session's processes that uid owns, by process id.
std::vector<long> processes(const std::string &id, long uid);

} // namespace LogindSession
