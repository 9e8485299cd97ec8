#include "protocol/clientsession.h"

#include "app/log.h"
#include "app/settings.h"
#include "dispatch/commandtable.h"
#include "protocol/connection.h"
#include "protocol/fileupload.h"
#include "protocol/requesthandler.h"
#include "protocol/secretmask.h"
#include "protocol/servercontrol.h"
#include "protocol/usersocketregistry.h"

#include <QtDebug>

namespace {

using Kind = MessageKind;

struct KindPrefix {
    const char *prefix;
    Kind kind;
};

// Tested in this order.
const KindPrefix kinds[] = {
    {CommandTable::QuitName, Kind::Quit},
    {"_serverCommand_set_remote_server?", Kind::RemoteServerRegistration},
    {"_serverCommand_", Kind::ServerCommand},
    {"_sendBinaryFile_", Kind::BinaryFile},
    {"_byteArray_", Kind::ByteArray},
};

} // namespace

MessageKind messageKind(const QByteArray &message)
{
    for (const KindPrefix &k : kinds) {
        if (message.startsWith(k.prefix))
            return k.kind;
    }
    return Kind::Request;
}

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

void ClientSession::handleMessage(const QByteArray &message, const std::shared_ptr<Connection> &connection)
{
    const Kind kind = messageKind(message);
    if (kind == Kind::Quit) {
        qDebug("Shutting down socket...");
        connection->shutdown();
        return;
    }
    if (Log::debugEnabled())
        qDebug("clientMessage: '%s'", SecretMask::maskedForLog(message).constData());
    UserSocketRegistry &registry = UserSocketRegistry::instance();
    switch (kind) {
    case Kind::RemoteServerRegistration:
        // Sends its own reply: it must reach the control client before any relayed message.
        ServerControl::registerRemoteServer(*this, connection, registry, message);
        break;
    case Kind::ServerCommand: {
        const QByteArray reply = handleServerCommand(message, registry);
        connection->sendReply(reply);
        Log::info(QString::fromUtf8(reply));
        break;
    }
    case Kind::BinaryFile: {
        // The file bytes follow on the stream: no relay may take them for its answer.
        const ExclusiveUse exclusive(*connection);
        connection->sendReply(QByteArrayLiteral("Ok"));
        connection->sendReply(handleBinaryFile(*connection, message));
        break;
    }
    case Kind::ByteArray:
        connection->sendReply(handleByteArray(message));
        break;
    case Kind::Request:
    case Kind::Quit:
        connection->sendReply(handleRequest(message));
        break;
    }
}

void ClientSession::connectionEnded(Connection &connection)
{
    // A relay still holding the connection finds the stream shut down.
    if (!connection.isShared())
        return;
    UserSocketRegistry::instance().removeConnection(&connection);
    connection.shutdown();
}

QByteArray ClientSession::handleRequest(const QByteArray &message)
{
    return RequestHandler::handle(*this, message);
}

QByteArray ClientSession::handleBinaryFile(Connection &connection, const QByteArray &message)
{
    return FileUpload::receive(*this, connection, message);
}

QByteArray ClientSession::handleByteArray(const QByteArray &message)
{
    return RequestHandler::handleByteArray(*this, message);
}

QByteArray ClientSession::handleServerCommand(const QByteArray &message, UserSocketRegistry &registry)
{
    return ServerControl::relay(*this, registry, message);
}
