#include "platform/servicemanager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace ServiceManager {

bool isSupervised()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void notifyReady(const QByteArray &status)
{
    sd_notify(0, QByteArray("READY=1\nSTATUS=" + status).constData());
}

void notifyStatus(const QByteArray &status)
{
    sd_notify(0, QByteArray("STATUS=" + status).constData());
}

void notifyAlive()
{
    sd_notify(0, "WATCHDOG=1");
}

void notifyStopping()
{
    // A fixed text: sd_notify then only reads the environment, sends one datagram and closes its
    // socket, which a signal handler may do.
    sd_notify(0, "STOPPING=1");
}

quint64 watchdogMicroseconds()
{
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? quint64(usec) : 0;
}

} // namespace ServiceManager
