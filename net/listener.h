#pragma once

#include <QByteArray>
#include <QString>

// The listening socket and the process-wide serving state. The interrupt handler reaches the
// socket through stopFromSignal(), which only makes async-signal-safe calls.
namespace Listener {

// Returns the socket (positive) or a negative code; the reason is in lastSocketError().
int createListeningSocket(const QByteArray &address, int port, int backlog);
// Blocks until a connection is pending; retried when interrupted.
bool waitReadable(int socket);
void closeListeningSocket();
void setListeningSocket(int socket);
int listeningSocket();

bool isRunning();
void stopRunning();
void stopFromSignal();

QString lastSocketError();
void setLastSocketError(const QString &text);

} // namespace Listener
