#include "logindsession.h"

#include "sessionprocesses.h"

#include <cstdlib>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

namespace {

// sd-login's texts are the caller's to free; empty when the session has none.
std::string sessionText(int (*get)(const char *, char **), const std::string &id)
{
    char *text = nullptr;
    const int result = get(id.c_str(), &text);
    std::string value = result >= 0 && text ? text : "";
    std::free(text);
    return value;
}

std::string sessionOf(long pid)
{
    char *id = nullptr;
    const int result = sd_pid_get_session(static_cast<pid_t>(pid), &id);
    std::string value = result >= 0 && id ? id : "";
    std::free(id);
    return value;
}

} // namespace

namespace LogindSession {

bool isRunning()
{
    return sd_booted() > 0 && ::access("/run/systemd/seats/", F_OK) == 0;
}

bool find(long pid, Session *session)
{
    const std::string id = sessionOf(pid);
    uid_t uid = 0;
    const std::string state = id.empty() ? "" : sessionText(sd_session_get_state, id);
    if (state.empty() || state == "closing" || sd_session_get_uid(id.c_str(), &uid) < 0)
        return false;
    session->id = id;
    session->uid = static_cast<long>(uid);
    session->environment = {"XDG_SESSION_ID=" + id, "XDG_SESSION_TYPE=" + sessionText(sd_session_get_type, id),
                            "XDG_SESSION_CLASS=" + sessionText(sd_session_get_class, id)};
    const std::pair<const char *, std::string> optional[] = {
        {"DISPLAY", sessionText(sd_session_get_display, id)},
        {"XDG_SEAT", sessionText(sd_session_get_seat, id)},
        {"XDG_SESSION_DESKTOP", sessionText(sd_session_get_desktop, id)}};
    for (const auto &[name, value] : optional) {
        if (!value.empty())
            session->environment.push_back(name + ("=" + value));
    }
    // logind's runtime directory of the user, and the user's bus in it where one listens.
    const std::string runtime = "/run/user/" + std::to_string(uid);
    if (::access(runtime.c_str(), F_OK) == 0)
        session->environment.push_back("XDG_RUNTIME_DIR=" + runtime);
    if (::access((runtime + "/bus").c_str(), F_OK) == 0)
        session->environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    return true;
}

std::vector<long> processes(const std::string &id, long uid)
{
    return SessionProcesses::processesOf(uid, [&id](long pid) { return sessionOf(pid) == id; });
}

} // namespace LogindSession
