#pragma once

#include <QByteArray>

class ClientSession;

// Control messages relayed to the connection that a program registered for a user.
namespace ServerControl {

QByteArray registerRemoteServer(ClientSession &session, int socket, const QByteArray &message);
QByteArray relay(ClientSession &session, const QByteArray &message);

} // namespace ServerControl
