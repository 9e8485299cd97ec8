#include "protocol/clientsession.h"

#include "app/settings.h"
#include "protocol/fileupload.h"
#include "protocol/requesthandler.h"
#include "protocol/servercontrol.h"

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

} // namespace

ClientSession::ClientSession(const QString &clientAddress)
{
    this->clientAddress = clientAddress;
    // Nothing is opened here: a request borrows a pooled connection when it first needs one.
    db = std::make_unique<MySqlInfo>(poolSettings);
}

ClientSession::~ClientSession()
{
    qDebug("Exiting thread");
    db->closeDatabase();
}

QByteArray ClientSession::handleRequest(const QByteArray &message)
{
    return db->runRequest([&] { return RequestHandler::handle(*this, message); });
}

QByteArray ClientSession::handleBinaryFile(int socket, const QByteArray &message)
{
    // Never run twice: the file's bytes are read from the socket.
    const QByteArray reply = FileUpload::receive(*this, socket, message);
    db->endRequest();
    return reply;
}

QByteArray ClientSession::handleByteArray(const QByteArray &message)
{
    return db->runRequest([&] { return RequestHandler::handleByteArray(*this, message); });
}

QByteArray ClientSession::handleServerCommand(const QByteArray &message, UserSocketRegistry &registry)
{
    const QByteArray reply = ServerControl::relay(*this, registry, message);
    db->endRequest();
    return reply;
}

QByteArray ClientSession::handleRemoteServerRegistration(const std::shared_ptr<ConnectionSocket> &socket,
                                                         UserSocketRegistry &registry,
                                                         const QByteArray &message)
{
    const QByteArray reply = ServerControl::registerRemoteServer(*this, socket, registry, message);
    db->endRequest();
    return reply;
}
