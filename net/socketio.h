#pragma once

#include <QByteArray>
#include <QString>

// Blocking I/O on a connected socket, shared by served connections and peer connections.
namespace SocketIo {

// Sends every byte (a reply may exceed one system call); false when the peer is gone.
bool sendBytes(int socket, const QByteArray &bytes);
bool sendText(int socket, const QString &text);

// Receives at most limit bytes: one call per chunk of at most 1024, going on only while whole
// chunks keep arriving. With the limit of 1024 used for peer replies that is exactly one call.
QByteArray boundedReceive(int socket, int limit);
QString textReceive(int socket, int limit);

} // namespace SocketIo
