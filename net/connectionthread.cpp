#include "net/connectionthread.h"

#include "app/log.h"
#include "net/connectionsocket.h"
#include "net/listener.h"
#include "protocol/clientsession.h"
#include "protocol/secretmask.h"

#include <QScopeGuard>
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

void serve(const std::shared_ptr<ConnectionSocket> &socket, const QString &clientAddress)
{
    ClientSession session(QString::number(socket->descriptor()), clientAddress);
    // The descriptor is closed when the last holder (a relay, perhaps) lets go.
    const auto ended = qScopeGuard([&] { session.connectionEnded(*socket); });
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
            session.handleMessage(QByteArray::fromRawData(buffer, int(size)), socket);
            if (!Listener::isRunning())
                break;
        }
    }
    qDebug("Exiting thread");
    if (!receiveFailed)
        std::fflush(stdout);
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
