#include "net/connectionthread.h"

#include "base/log.h"
#include "base/servermetrics.h"
#include "base/settings.h"
#include "net/connectionsocket.h"
#include "net/listener.h"
#include "net/prelogincount.h"
#include "net/servertls.h"
#include "net/threadcache.h"
#include "protocol/clientsession.h"

#include <QScopeGuard>
#include <QtDebug>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct HandOver {
    int socket;
    bool tls;
    char clientAddress[22];
};

// A client that never finishes its handshake (a plain one on the TLS port, one that stalls) holds
// only its own thread, and that not for long.
constexpr int HandshakeMsecs = 10000;

bool completeHandshake(ConnectionSocket &socket, const QString &clientAddress)
{
    const std::shared_ptr<TlsContext> context = ServerTls::instance().context();
    QString error;
    if (context && socket.startTls(*context, HandshakeMsecs, &error))
        return true;
    // Not logged: anybody can make handshakes fail, as often as they like.
    AX_DEBUG("TLS handshake with %s failed: %s", qUtf8Printable(clientAddress), qUtf8Printable(error));
    return false;
}

void serve(const std::shared_ptr<ConnectionSocket> &socket, const QString &clientAddress, bool tls)
{
    const Log::ContextScope context(clientAddress);
    ClientSession session(clientAddress);
    // The accept loop counted the connection as not logged in; it stops counting once the
    // connection logged in or became a control channel, which never time out.
    bool preLogin = true;
    bool counted = false; // among the logged-in clients of the metrics
    const auto leavePreLogin = [&] {
        if (preLogin)
            PreLoginCount::instance().remove(clientAddress);
        preLogin = false;
        if (!counted && !session.state.userName.isNull()) {
            ServerMetrics::instance().loggedIn.add(1);
            counted = true;
        }
    };
    // The descriptor is closed when the last holder (a relay, perhaps) lets go.
    const auto ended = qScopeGuard([&] {
        leavePreLogin();
        if (counted)
            ServerMetrics::instance().loggedIn.add(-1);
        session.connectionEnded(*socket);
    });
    bool receiveFailed = false;
    if (Listener::isRunning() && (!tls || completeHandshake(*socket, clientAddress))) {
        // One byte is kept for the terminating zero, so a full buffer is still one message.
        char buffer[1024];
        for (;;) {
            const int idleMsecs = preLogin ? Settings::preLoginIdleTimeoutMsecs() : -1;
            if (preLogin && !socket->waitForMessage(idleMsecs)) {
                AX_DEBUG("No message within PreLoginIdleTimeout before a login: closing");
                break;
            }
            const qint64 n = socket->receiveMessage(buffer, sizeof buffer - 1, idleMsecs);
            if (n <= 0) {
                receiveFailed = n < 0;
                break;
            }
            buffer[n] = '\0';
            const size_t size = std::strlen(buffer); // a zero byte ends the message
            {
                // Entries of a logged-in connection name its user.
                const Log::ContextScope user(QString(), nullptr, session.state.userName);
                session.handleMessage(QByteArray::fromRawData(buffer, int(size)), int(n), socket);
            }
            if (!session.state.userName.isNull() || socket->isShared())
                leavePreLogin();
            if (!Listener::isRunning())
                break;
        }
    }
    AX_DEBUG("Exiting thread");
    if (!receiveFailed)
        std::fflush(stdout);
}

std::atomic<int> live{0};

void connectionMain(void *arg)
{
    // Counted until the socket is closed: declared first, so it goes last.
    const auto counted = qScopeGuard([] { --live; });
    AX_DEBUG("New thread...");
    HandOver *block = static_cast<HandOver *>(arg);
    const auto socket = std::make_shared<ConnectionSocket>(block->socket);
    const QString clientAddress = QString::fromLatin1(block->clientAddress);
    const bool tls = block->tls;
    delete block;
    AX_DEBUG("Client address: %s", qUtf8Printable(clientAddress));
    try {
        serve(socket, clientAddress, tls);
    } catch (const std::exception &e) {
        // Last resort: one faulty request must not take the whole server down.
        Log::error(QStringLiteral("Connection from %1 ended by an internal error: %2")
                       .arg(clientAddress, QString::fromLocal8Bit(e.what())));
    }
}

// As MariaDB keeps its own: enough waiting threads for a burst of short connections, and none
// left behind for long once the burst is over (after 5 idle seconds a thread ends).
ThreadCache &threads()
{
    // Named, so that an operator (or a test) tells them from the process's other threads.
    static ThreadCache *cache = new ThreadCache("connection", 128, 5); // never destroyed: its threads outlive main
    return *cache;
}

} // namespace

namespace ConnectionThread {

int liveConnections()
{
    return live.load();
}

bool start(int socket, bool tls, const char *clientAddress, const char **error)
{
    HandOver *block = new HandOver;
    block->socket = socket;
    block->tls = tls;
    std::snprintf(block->clientAddress, sizeof block->clientAddress, "%s", clientAddress);

    ++live;
    if (!threads().run(connectionMain, block, error)) {
        --live;
        delete block;
        return false;
    }
    return true;
}

} // namespace ConnectionThread
