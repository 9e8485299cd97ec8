#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

// Blocking I/O on a connected socket, shared by served connections and peer connections.
namespace SocketIo {

// Sends every byte (a reply may exceed one system call); false when the peer is gone.
bool sendBytes(int socket, const QByteArray &bytes);
bool sendText(int socket, const QString &text);
// The same for a peer that may stop reading: false, possibly with part of the bytes sent, when
// they are not all taken before the deadline.
bool sendWithin(int socket, const QByteArray &bytes, const QDeadlineTimer &deadline);

// Waits until the socket is ready for events (POLLIN, POLLOUT) or the deadline passes; an
// interrupted wait goes on. False when the deadline passed or the wait failed.
bool waitFor(int socket, short events, const QDeadlineTimer &deadline);

// Receives at most limit bytes in one call: what has arrived, up to the limit. Peer replies
// (limit 1024) are one message each; uploads take their content in pieces of 64 KiB.
QByteArray boundedReceive(int socket, int limit);
QString textReceive(int socket, int limit);

// The text of the most recent socket-level failure, listening or connecting; diagnostic only.
QString lastSocketError();
void setLastSocketError(const QString &text);

} // namespace SocketIo
