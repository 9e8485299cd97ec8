#include "net/listener.h"

#include "base/log.h"
#include "base/settings.h"
#include "base/socketio.h"
#include "net/connectionthread.h"
#include "net/prelogincount.h"

#include <QtDebug>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> running{1};
std::atomic<int> listenSocket{0};
std::atomic<int> tlsListenSocket{0};

void closeSocket(std::atomic<int> &socket)
{
    // Only atomics and system calls: the interrupt handler comes here too.
    const int fd = socket.exchange(0);
    if (fd > 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

// The listening sockets in use (one or two), for poll.
int pollSet(int plainSocket, int tlsSocket, pollfd *set)
{
    int count = 0;
    for (const int fd : {plainSocket, tlsSocket}) {
        if (fd > 0)
            set[count++] = pollfd{fd, POLLIN, 0};
    }
    return count;
}

int failWith(const QString &text, int code)
{
    AX_DEBUG("%s", qUtf8Printable(text));
    SocketIo::setLastSocketError(text);
    return code;
}

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

namespace Listener {

const int LargestBacklog = SOMAXCONN;

int createListeningSocket(const QByteArray &address, int port, int backlog)
{
    AX_DEBUG("Listening on %s:%d", address.constData(), port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failWith(QStringLiteral("Could not create socket. Error: %1").arg(errno), -101);
    AX_DEBUG("Socket created\n");

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // The classic dotted-quad parser: text it does not accept becomes 255.255.255.255,
    // which bind then refuses.
    addr.sin_addr.s_addr = inet_addr(address.constData());
    addr.sin_port = htons(static_cast<uint16_t>(port));
    AX_DEBUG("Serving on address: %s, port: %d", address.constData(), port);

    const int reuse = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        const int code = failWith(QStringLiteral("Setsockopt failed: %1").arg(errno), -101);
        ::close(fd);
        return code;
    }
    const int sendBuffer = 65536;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0) {
        const int code = failWith(QStringLiteral("Setsockopt buffer size failed: %1").arg(errno), -102);
        ::close(fd);
        return code;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int code = failWith(QStringLiteral("Bind failed: %1").arg(errno), -301);
        ::close(fd);
        return code;
    }
    AX_DEBUG("Bind done\n");
    ::listen(fd, backlog);
    return fd;
}

int acceptConnections(int plainSocket, int tlsSocket)
{
    ThrottledError refused, refusedFromAddress, noThread;
    pollfd set[2];
    const int count = pollSet(plainSocket, tlsSocket, set);
    // One socket is simply waited on in accept. With two, a wait on one must never hold up the
    // other: accept only takes what is there.
    const bool both = count == 2;
    for (int i = 0; both && i < count; ++i)
        ::fcntl(set[i].fd, F_SETFL, ::fcntl(set[i].fd, F_GETFL) | O_NONBLOCK);
    int next = 0;
    while (isRunning()) {
        int listening = set[0].fd;
        if (both) {
            if (::poll(set, nfds_t(count), -1) <= 0)
                continue;
            // Taken in turn, so that a flood on one port cannot starve the other.
            next = (next + 1) % count;
            listening = (set[next].revents & POLLIN) ? set[next].fd : set[(next + 1) % count].fd;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int client = ::accept4(listening, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: pause instead of spinning on the same failure.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::usleep(50 * 1000);
            continue;
        }
        const bool tls = listening == tlsSocket;
        AX_DEBUG("Accepted socket connection");
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const Settings::ClientLimits limits = Settings::readClientLimits();
        if (ConnectionThread::liveConnections() >= limits.maxClients) {
            ::close(client);
            refused.report(QStringLiteral("Connection from %1 refused: %2 clients connected, the most MaxClients allows")
                               .arg(QLatin1String(text)).arg(limits.maxClients));
            continue;
        }
        // Counted here, so that a burst is refused before any of its threads has run.
        const QString address = QString::fromLatin1(text);
        if (!PreLoginCount::instance().tryAdd(address, limits.perAddress)) {
            ::close(client);
            refusedFromAddress.report(
                QStringLiteral("Connection from %1 refused: %2 of its connections not logged in, the most MaxClientsPerAddress allows")
                    .arg(address).arg(limits.perAddress));
            continue;
        }
        const char *reason = nullptr;
        if (!ConnectionThread::start(client, tls, text, &reason)) {
            PreLoginCount::instance().remove(address);
            // Only this client goes without: ending the server here would turn a burst of
            // clients into a restart loop.
            std::fprintf(stderr, "Could not create server thread. Error: %s\n", reason);
            ::close(client);
            noThread.report(QStringLiteral("Could not create server thread for %1. Error: %2")
                                .arg(QLatin1String(text), QString::fromLocal8Bit(reason)));
        }
    }
    closeListeningSocket();
    return 0;
}

bool waitReadable(int plainSocket, int tlsSocket)
{
    pollfd set[2];
    const int count = pollSet(plainSocket, tlsSocket, set);
    for (;;) {
        const int n = ::poll(set, nfds_t(count), -1);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

void closeListeningSocket()
{
    closeSocket(listenSocket);
    closeSocket(tlsListenSocket);
}

void setListeningSocket(int socket)
{
    listenSocket.store(socket);
}

void setTlsListeningSocket(int socket)
{
    tlsListenSocket.store(socket);
}

bool isRunning()
{
    return running.load(std::memory_order_relaxed) == 1;
}

void stopRunning()
{
    running.store(0);
}

void stopFromSignal()
{
    // Only atomics and system calls: this runs inside the interrupt handler.
    running.store(0);
    closeSocket(listenSocket);
    closeSocket(tlsListenSocket);
}

} // namespace Listener
