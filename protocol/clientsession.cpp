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

// Read at every borrow, so that a change of the file reaches the next request.
MySqlInfo::PoolSettings poolSettings()
{
    const Settings::DatabaseParameters p = Settings::readDatabaseParameters();
    MySqlInfo::PoolSettings s;
    s.target = MySqlTarget{p.host, p.port, p.user, p.password};
    s.size = p.poolSize;
    s.borrowTimeoutMs = p.borrowTimeoutSeconds * 1000;
    return s;
}

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

ClientSession::ClientSession(const QString &clientAddress)
{
    this->clientAddress = clientAddress;
    // Nothing is opened here: a request borrows a pooled connection when it first needs one.
    db = std::make_unique<MySqlInfo>(poolSettings);
}

ClientSession::~ClientSession()
{
    db->closeDatabase();
}

void ClientSession::handleMessage(const QByteArray &message, const std::shared_ptr<Connection> &connection)
{
    const Kind kind = messageKind(message);
    if (kind == Kind::Quit) {
        AX_DEBUG("Shutting down socket...");
        connection->shutdown();
        return;
    }
    AX_DEBUG("clientMessage: '%s'", SecretMask::maskedForLog(message).constData());
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
    // Whatever the kind, the database connection goes back to the pool with the reply.
    db->endRequest();
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
    return db->runRequest([&] { return RequestHandler::handle(*this, message); });
}

QByteArray ClientSession::handleBinaryFile(Connection &connection, const QByteArray &message)
{
    // Run once only, never again after a database failure: the file's bytes come from the stream.
    return FileUpload::receive(*this, connection, message);
}

QByteArray ClientSession::handleByteArray(const QByteArray &message)
{
    return db->runRequest([&] { return RequestHandler::handleByteArray(*this, message); });
}

QByteArray ClientSession::handleServerCommand(const QByteArray &message, UserSocketRegistry &registry)
{
    return ServerControl::relay(*this, registry, message);
}
