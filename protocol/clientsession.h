#pragma once

#include "dispatch/sessionstate.h"

#include <QByteArray>
#include <QString>

#include <memory>

class ConnectionSocket;
class UserSocketRegistry;

// The state of one client connection, owned by its thread: its own database connection and,
// once a login succeeded, who is logged in. Every message of the connection arrives here.
class ClientSession : public SessionState
{
public:
    ClientSession(const QString &connectionName, const QString &clientAddress);
    ~ClientSession();
    ClientSession(const ClientSession &) = delete;
    ClientSession &operator=(const ClientSession &) = delete;

    QByteArray handleRequest(const QByteArray &message);
    QByteArray handleBinaryFile(int socket, const QByteArray &message);
    QByteArray handleByteArray(const QByteArray &message);
    QByteArray handleServerCommand(const QByteArray &message, UserSocketRegistry &registry);
    QByteArray handleRemoteServerRegistration(const std::shared_ptr<ConnectionSocket> &socket,
                                              UserSocketRegistry &registry, const QByteArray &message);
};
