#pragma once

#include <QByteArray>

#include <memory>

class ClientSession;
class Connection;
class UserSocketRegistry;

// Control messages relayed to the connection that a program registered for a user.
namespace ServerControl {

// Runs on the registering connection's own thread, and answers on it.
void registerRemoteServer(ClientSession &session, const std::shared_ptr<Connection> &connection,
                          UserSocketRegistry &registry, const QByteArray &message);
// The close message, or any other control message relayed to the user's registered connection.
QByteArray relay(ClientSession &session, UserSocketRegistry &registry, const QByteArray &message);

} // namespace ServerControl
