#pragma once

#include <QByteArray>
#include <QString>

// The listening sockets (plain and TLS) and the process-wide serving state. The interrupt handler reaches the
// sockets through stopFromSignal(), which only makes async-signal-safe calls.
namespace Listener {

// The system's largest listen backlog.
extern const int LargestBacklog;

// Returns the socket (positive) or a negative code; the reason is in SocketIo::lastSocketError().
int createListeningSocket(const QByteArray &address, int port, int backlog);
// Gives every connection accepted on either socket (0 for one not in use) a thread of its own
// while the server runs, up to MaxClients at once and MaxClientsPerAddress not logged in per
// client address (one beyond is closed at once); 0 after an orderly end (the sockets are closed
// then). A thread that cannot be created costs only that one client its connection. Connections
// of tlsSocket begin with a TLS handshake.
int acceptConnections(int plainSocket, int tlsSocket);
// Blocks until a connection is pending on either; retried when interrupted.
bool waitReadable(int plainSocket, int tlsSocket);
// Closes both.
void closeListeningSocket();
void setListeningSocket(int socket);
void setTlsListeningSocket(int socket);

bool isRunning();
void stopRunning();
void stopFromSignal();


} // namespace Listener
