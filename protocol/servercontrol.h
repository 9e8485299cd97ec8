#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class ClientSession;
class Connection;
class UserSocketRegistry;

// Control messages relayed to the connection that a program registered for a user.
namespace ServerControl {

// A registration's parameters: the text between its first and second "?" split at "&", empty
// parts kept; with exactly two, the address and the user (whitespace collapsed).
struct Registration {
    QStringList parameters;
    QString address;
    QString user;
};
Registration parseRegistration(const QString &message);

// Runs on the registering connection's own thread, and answers on it.
void registerRemoteServer(ClientSession &session, const std::shared_ptr<Connection> &connection,
                          UserSocketRegistry &registry, const QByteArray &message);
// The close message, or any other control message relayed to the user's registered connection.
QByteArray relay(ClientSession &session, UserSocketRegistry &registry, const QByteArray &message);

} // namespace ServerControl
