#include "protocol/clientsession.h"

#include "base/log.h"
#include "base/settings.h"
#include "dispatch/commandtable.h"
#include "dispatch/replies.h"
#include "dispatch/request.h"
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
    state.clientAddress = clientAddress;
    // Nothing is opened here: a request borrows a pooled connection when it first needs one.
    state.db = std::make_unique<MySqlInfo>(poolSettings);
}

ClientSession::~ClientSession()
{
    state.db->closeDatabase();
}

void ClientSession::handleMessage(const QByteArray &message, int receivedBytes,
                                  const std::shared_ptr<Connection> &connection)
{
    const Kind kind = messageKind(message);
    if (kind == Kind::Quit) {
        AX_DEBUG("Reading %d bytes, message: '%s'", receivedBytes, message.constData());
        AX_DEBUG("Shutting down socket...");
        connection->shutdown();
        return;
    }
    // Parsed once, and its row found once: the log lines, the login, the guards and the handler
    // all read this. A registration is read as it arrived.
    const Request request = Request::fromMessage(
        message, kind == Kind::RemoteServerRegistration ? Request::AsReceived : Request::Trimmed);
    const CommandRow *row = kind == Kind::Request ? CommandTable::rowFor(request) : nullptr;
    const LoggedMessage logged(request, row ? &row->secrets : nullptr);
    AX_DEBUG("Reading %d bytes, message: '%s'", receivedBytes, logged.text());
    AX_DEBUG("clientMessage: '%s'", logged.text());
    UserSocketRegistry &registry = UserSocketRegistry::instance();
    switch (kind) {
    case Kind::RemoteServerRegistration:
        // Sends its own reply: it must reach the control client before any relayed message.
        ServerControl::registerRemoteServer(state, connection, registry, request);
        break;
    case Kind::ServerCommand: {
        const QByteArray reply = ServerControl::handle(state, registry, request);
        connection->sendReply(reply);
        Log::info(QString::fromUtf8(reply));
        break;
    }
    case Kind::BinaryFile: {
        // The file bytes follow on the stream: no relay may take them for its answer.
        const ExclusiveUse exclusive(*connection);
        connection->sendReply(QByteArray(Reply::Ok));
        // Run once only, never again after a database failure: the file's bytes come from the stream.
        connection->sendReply(FileUpload::receive(state, *connection, request));
        break;
    }
    case Kind::ByteArray: {
        const ByteArrayRow *byteArrayRow = CommandTable::findByteArray(request.name());
        connection->sendReply(state.db->runRequest(
            [&] { return RequestHandler::handleByteArray(state, request, byteArrayRow); }));
        break;
    }
    case Kind::Request:
    case Kind::Quit:
        connection->sendReply(
            state.db->runRequest([&] { return RequestHandler::handle(state, request, row, logged); }));
        break;
    }
    // Whatever the kind, the database connection goes back to the pool with the reply.
    state.db->endRequest();
}

void ClientSession::connectionEnded(Connection &connection)
{
    // A relay still holding the connection finds the stream shut down.
    if (!connection.isShared())
        return;
    UserSocketRegistry::instance().removeConnection(&connection);
    connection.shutdown();
}
