#include "privileged/logindsessions.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

namespace {

const char Login1[] = "org.freedesktop.login1";
const char ManagerPath[] = "/org/freedesktop/login1";
const char ManagerInterface[] = "org.freedesktop.login1.Manager";
const char SessionInterface[] = "org.freedesktop.login1.Session";
// A session's processes get SIGTERM from logind and, unlike the scope's own timeout of minutes,
// this much time before SIGKILL.
constexpr int TerminateGraceMs = 5000;
constexpr int KillGraceMs = 3000;

struct BusRelease {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusRelease>;

struct MessageRelease {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageRelease>;

// A connection of its own per call: requests of several threads never share one.
Bus systemBus()
{
    sd_bus *bus = nullptr;
    return Bus(sd_bus_open_system(&bus) >= 0 ? bus : nullptr);
}

// sd-login's texts are the caller's to free.
QString sessionText(int (*get)(const char *, char **), const QByteArray &name)
{
    char *text = nullptr;
    const int result = get(name.constData(), &text);
    const QString value = result >= 0 && text ? QString::fromUtf8(text) : QString();
    std::free(text);
    return value;
}

struct Listed {
    Session session;
    quint64 started = 0;
};

template <typename Value> Value sessionProperty(sd_bus *bus, const char *path, const char *property, char type)
{
    Value value{};
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_get_property_trivial(bus, Login1, path, SessionInterface, property, &error, type, &value) < 0)
        value = Value{};
    sd_bus_error_free(&error);
    return value;
}

bool callManager(sd_bus *bus, const char *method, const char *types, const QByteArray &name, const char *who = nullptr,
                 int signalNumber = 0)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int result = who ? sd_bus_call_method(bus, Login1, ManagerPath, ManagerInterface, method, &error, nullptr, types,
                                                name.constData(), who, signalNumber)
                           : sd_bus_call_method(bus, Login1, ManagerPath, ManagerInterface, method, &error, nullptr, types,
                                                name.constData());
    sd_bus_error_free(&error);
    return result >= 0;
}

// Gone once logind no longer knows it; a closing session still has processes.
bool isGone(const QByteArray &name, int graceMs)
{
    const QDeadlineTimer grace(graceMs);
    while (true) {
        if (sessionText(sd_session_get_state, name).isEmpty())
            return true;
        if (grace.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

} // namespace

bool LogindSessions::isRunning()
{
    return sd_booted() > 0 && ::access("/run/systemd/seats/", F_OK) == 0;
}

QList<Session> LogindSessions::list() const
{
    QList<Session> sessions;
    const Bus bus = systemBus();
    sd_bus_message *replied = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int called = bus ? sd_bus_call_method(bus.get(), Login1, ManagerPath, ManagerInterface, "ListSessions",
                                                &error, &replied, "")
                           : -1;
    sd_bus_error_free(&error);
    const Message reply(replied);
    if (called < 0 || sd_bus_message_enter_container(reply.get(), 'a', "(susso)") < 0)
        return sessions;
    std::vector<Listed> listed;
    const char *id = nullptr, *user = nullptr, *seat = nullptr, *path = nullptr;
    uint32_t uid = 0;
    while (sd_bus_message_read(reply.get(), "(susso)", &id, &uid, &user, &seat, &path) > 0) {
        const QByteArray name(id);
        const QString state = sessionText(sd_session_get_state, name);
        const uint32_t leader = sessionProperty<uint32_t>(bus.get(), path, "Leader", 'u');
        // A session without a leader is on its way out, and one closing has been left already.
        if (leader == 0 || state.isEmpty() || state == QLatin1String("closing"))
            continue;
        Listed entry;
        entry.session.id = int(leader);
        entry.session.userName = QString::fromUtf8(user);
        entry.session.uid = uid;
        entry.session.name = QString::fromUtf8(id);
        entry.session.seat = QString::fromUtf8(seat);
        entry.session.remoteHost = sessionText(sd_session_get_remote_host, name);
        entry.session.sessionClass = sessionText(sd_session_get_class, name);
        entry.session.type = sessionText(sd_session_get_type, name);
        entry.session.display = sessionText(sd_session_get_display, name);
        entry.started = sessionProperty<uint64_t>(bus.get(), path, "Timestamp", 't');
        listed.push_back(entry);
    }
    std::stable_sort(listed.begin(), listed.end(), [](const Listed &a, const Listed &b) { return a.started < b.started; });
    for (const Listed &entry : listed)
        sessions.append(entry.session);
    return sessions;
}

bool LogindSessions::logoff(const Session &session) const
{
    const QByteArray name = session.name.toUtf8();
    const Bus bus = systemBus();
    if (!bus || name.isEmpty())
        return false;
    if (callManager(bus.get(), "TerminateSession", "s", name) && isGone(name, TerminateGraceMs))
        return true;
    callManager(bus.get(), "KillSession", "ssi", name, "all", SIGKILL);
    return isGone(name, KillGraceMs);
}
