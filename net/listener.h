#pragma once

#include <QByteArray>
#include <QString>

// The listening socket and the process-wide serving state. The interrupt handler reaches the
// socket through stopFromSignal(), which only makes async-signal-safe calls.
namespace Listener {

// The system's largest listen backlog.
extern const int LargestBacklog;

// Returns the socket (positive) or a negative code; the reason is in SocketIo::lastSocketError().
int createListeningSocket(const QByteArray &address, int port, int backlog);
// Gives every connection accepted on socket a thread of its own while the server runs, up to
// MaxClients at once and MaxClientsPerAddress not logged in per client address (one beyond is
// closed at once); 0 after an orderly end (the socket is closed then). A thread that cannot be
// created costs only that one client its connection.
int acceptConnections(int socket);
// Blocks until a connection is pending; retried when interrupted.
bool waitReadable(int socket);
void closeListeningSocket();
void setListeningSocket(int socket);
int listeningSocket();

bool isRunning();
void stopRunning();
void stopFromSignal();


} // namespace Listener
