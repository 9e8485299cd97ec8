#pragma once

#include <QByteArray>

// What the service manager is told about the serving process (readiness, a status line, that it
// is alive, that it stops). Without NOTIFY_SOCKET in the environment every call does nothing.
namespace ServiceManager {

bool isSupervised();
void notifyReady(const QByteArray &status);
void notifyStatus(const QByteArray &status);
void notifyAlive();
// Async-signal-safe: the interrupt handler calls it.
void notifyStopping();
// How often the manager wants to hear that the process is alive, in microseconds; 0: never.
quint64 watchdogMicroseconds();

} // namespace ServiceManager
