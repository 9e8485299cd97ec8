#include "protocol/clientsession.h"

#include "app/settings.h"
#include "protocol/fileupload.h"
#include "protocol/requesthandler.h"
#include "protocol/servercontrol.h"

#include <QtDebug>

ClientSession::ClientSession(const QString &connectionName, const QString &clientAddress)
{
    this->clientAddress = clientAddress;
    const Settings::DatabaseParameters p = Settings::readDatabaseParameters();
    qDebug("Connecting to MySql database (server: %s:%d, user: %s, password: **********)...",
           qUtf8Printable(p.host), p.port, qUtf8Printable(p.user));
    db = std::make_unique<MySqlInfo>(p.host, p.port);
    databaseOpen = db->openDatabase(p.user, p.password, connectionName);
    qDebug(databaseOpen ? "MySql server authentication succesful" : "MySql server authentication failed");
}

ClientSession::~ClientSession()
{
    qDebug("Exiting thread");
    db->closeDatabase();
}

QByteArray ClientSession::handleRequest(const QByteArray &message)
{
    return RequestHandler::handle(*this, message);
}

QByteArray ClientSession::handleBinaryFile(int socket, const QByteArray &message)
{
    return FileUpload::receive(*this, socket, message);
}

QByteArray ClientSession::handleByteArray(const QByteArray &message)
{
    return RequestHandler::handleByteArray(*this, message);
}

QByteArray ClientSession::handleServerCommand(const QByteArray &message, UserSocketRegistry &registry)
{
    return ServerControl::relay(*this, registry, message);
}

QByteArray ClientSession::handleRemoteServerRegistration(const std::shared_ptr<ConnectionSocket> &socket,
                                                         UserSocketRegistry &registry,
                                                         const QByteArray &message)
{
    return ServerControl::registerRemoteServer(*this, socket, registry, message);
}
