#include "net/axserver.h"

#include "app/log.h"
#include "app/settings.h"
#include "net/connectionthread.h"
#include "net/listener.h"
#include "registration/serverregistration.h"

#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Error entries of the accept loop, at most one a second: a burst of clients must not flood the
// log. The entry tells how many more of the kind there were since the last one.
class ThrottledError
{
public:
    void report(const QString &text)
    {
        const auto now = std::chrono::steady_clock::now();
        if (written && now - last < std::chrono::seconds(1)) {
            ++held;
            return;
        }
        Log::error(held ? QStringLiteral("%1 (and %2 more since the last entry)").arg(text).arg(held) : text);
        written = true;
        last = now;
        held = 0;
    }

private:
    bool written = false;
    std::chrono::steady_clock::time_point last;
    int held = 0;
};

} // namespace

AXServer::AXServer() = default;

AXServer::~AXServer()
{
    Listener::stopRunning();
    Listener::closeListeningSocket();
}

int AXServer::start(const QByteArray &address, int port)
{
    // The system's largest backlog: a burst of clients must queue, not be refused.
    const int socket = Listener::createListeningSocket(address, port, SOMAXCONN);
    if (socket <= 0) {
        error = tr("Something happened creating server socket. Exiting with error code %1").arg(socket);
        return socket;
    }
    Listener::setListeningSocket(socket);
    qDebug("Socket created");

    if (!Listener::waitReadable(socket)) {
        error = tr("Something happened waiting for a client connection. Exiting");
        return -1;
    }
    qDebug("Waiting for connection...");

    ThrottledError refused, noThread;
    while (Listener::isRunning()) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int client = ::accept4(socket, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: pause instead of spinning on the same failure.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::usleep(50 * 1000);
            continue;
        }
        qDebug("Accepted socket connection");
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const int maxClients = Settings::maxClients();
        if (ConnectionThread::liveConnections() >= maxClients) {
            ::close(client);
            refused.report(QStringLiteral("Connection from %1 refused: %2 clients connected, the most MaxClients allows")
                               .arg(QLatin1String(text)).arg(maxClients));
            continue;
        }
        const char *reason = nullptr;
        if (!ConnectionThread::start(client, text, &reason)) {
            // Only this client goes without: ending the server here would turn a burst of
            // clients into a restart loop.
            std::fprintf(stderr, "Could not create server thread. Error: %s\n", reason);
            ::close(client);
            noThread.report(QStringLiteral("Could not create server thread for %1. Error: %2")
                                .arg(QLatin1String(text), QString::fromLocal8Bit(reason)));
        }
    }
    Listener::closeListeningSocket();
    return 0;
}

int AXServer::registration(const QString &adminUser, const QString &adminPassword)
{
    return ServerRegistration(*this).run(adminUser, adminPassword);
}
