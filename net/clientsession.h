#pragma once

#include "db/mysqlinfo.h"

#include <QByteArray>
#include <QString>

#include <memory>

class AXStorageCommand;
class ConnectionSocket;
class UserSocketRegistry;

// The state of one client connection, owned by its thread: its own database connection and,
// once a login succeeded, who is logged in.
class ClientSession
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

    std::unique_ptr<MySqlInfo> db;
    QString userName;
    QString password;
    QString clientAddress;
    bool databaseOpen = false;
    bool isAdmin = false;
    // The cloud drive being configured on this connection, if any; it goes with the connection.
    std::unique_ptr<AXStorageCommand> pendingCloudDrive;
};
