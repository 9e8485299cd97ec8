#include "net/connectionthread.h"

#include "app/log.h"
#include "protocol/clientsession.h"
#include "net/connectionsocket.h"
#include "net/listener.h"
#include "protocol/secretmask.h"
#include "protocol/usersocketregistry.h"

#include <QtDebug>

#include <cstdio>
#include <cstring>
#include <memory>
#include <pthread.h>

namespace {

struct HandOver {
    int socket;
    char clientAddress[22];
};

template <size_t N>
bool startsWith(const char *data, size_t size, const char (&prefix)[N])
{
    return size >= N - 1 && std::memcmp(data, prefix, N - 1) == 0;
}

void handleMessage(ClientSession &session, const std::shared_ptr<ConnectionSocket> &socket,
                   const char *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(data, static_cast<int>(size));
    if (startsWith(data, size, "quit")) {
        qDebug("Shutting down socket...");
        socket->shutdown();
        return;
    }
    if (Log::debugEnabled())
        qDebug("clientMessage: '%s'", SecretMask::maskedForLog(message).constData());

    UserSocketRegistry &registry = UserSocketRegistry::instance();
    if (startsWith(data, size, "_serverCommand_set_remote_server?")) {
        socket->sendReply(session.handleRemoteServerRegistration(socket, registry, message));
    } else if (startsWith(data, size, "_serverCommand_")) {
        const QByteArray reply = session.handleServerCommand(message, registry);
        socket->sendReply(reply);
        Log::info(QString::fromUtf8(reply));
    } else if (startsWith(data, size, "_sendBinaryFile_")) {
        // The file bytes follow on the stream: no relay may take them for its answer.
        ConnectionSocket::ExclusiveUse exclusive(*socket);
        exclusive.send(QByteArrayLiteral("Ok"));
        exclusive.send(session.handleBinaryFile(socket->descriptor(), message));
    } else if (startsWith(data, size, "_byteArray_")) {
        socket->sendReply(session.handleByteArray(message));
    } else {
        socket->sendReply(session.handleRequest(message));
    }
}

void serve(const std::shared_ptr<ConnectionSocket> &socket, const QString &clientAddress)
{
    ClientSession session(QString::number(socket->descriptor()), clientAddress);
    bool receiveFailed = false;
    if (Listener::isRunning()) {
        // One byte is kept for the terminating zero, so a full buffer is still one message.
        char buffer[1024];
        for (;;) {
            const qint64 n = socket->receiveMessage(buffer, sizeof buffer - 1);
            if (n <= 0) {
                receiveFailed = n < 0;
                break;
            }
            buffer[n] = '\0';
            const size_t size = std::strlen(buffer); // a zero byte ends the message
            if (Log::debugEnabled()) {
                qDebug("Reading %d bytes, message: '%s'", int(n),
                       SecretMask::maskedForLog(QByteArray::fromRawData(buffer, int(size))).constData());
            }
            handleMessage(session, socket, buffer, size);
            if (!Listener::isRunning())
                break;
        }
    }
    qDebug("Exiting thread");
    if (!receiveFailed)
        std::fflush(stdout);
}

// A registered connection leaves the registry when it ends; a relay still holding it finds the
// stream shut down, and the descriptor is closed when the last holder lets go.
void endConnection(const std::shared_ptr<ConnectionSocket> &socket)
{
    if (!socket->isShared())
        return;
    UserSocketRegistry::instance().removeConnection(socket.get());
    socket->shutdown();
}

void *connectionMain(void *arg)
{
    qDebug("New thread...");
    HandOver *block = static_cast<HandOver *>(arg);
    const auto socket = std::make_shared<ConnectionSocket>(block->socket);
    const QString clientAddress = QString::fromLatin1(block->clientAddress);
    delete block;
    qDebug("Client address: %s", qUtf8Printable(clientAddress));
    try {
        serve(socket, clientAddress);
    } catch (const std::exception &e) {
        // Last resort: one faulty request must not take the whole server down.
        Log::error(QStringLiteral("Connection from %1 ended by an internal error: %2")
                       .arg(clientAddress, QString::fromLocal8Bit(e.what())));
    }
    endConnection(socket);
    return nullptr;
}

} // namespace

namespace ConnectionThread {

bool start(int socket, const char *clientAddress, const char **error)
{
    HandOver *block = new HandOver;
    block->socket = socket;
    std::snprintf(block->clientAddress, sizeof block->clientAddress, "%s", clientAddress);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attributes, connectionMain, block);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete block;
        *error = std::strerror(rc);
        return false;
    }
    return true;
}

} // namespace ConnectionThread
