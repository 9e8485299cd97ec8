#include "net/listener.h"

#include "net/connectionthread.h"
#include "net/socketio.h"

#include <QtDebug>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> running{1};
std::atomic<int> listenSocket{0};

int failWith(const QString &text, int code)
{
    qDebug("%s", qUtf8Printable(text));
    SocketIo::setLastSocketError(text);
    return code;
}

} // namespace

namespace Listener {

const int LargestBacklog = SOMAXCONN;

int createListeningSocket(const QByteArray &address, int port, int backlog)
{
    qDebug("Listening on %s:%d", address.constData(), port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failWith(QStringLiteral("Could not create socket. Error: %1").arg(errno), -101);
    qDebug("Socket created\n");

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // The classic dotted-quad parser: text it does not accept becomes 255.255.255.255,
    // which bind then refuses.
    addr.sin_addr.s_addr = inet_addr(address.constData());
    addr.sin_port = htons(static_cast<uint16_t>(port));
    qDebug("Serving on address: %s, port: %d", address.constData(), port);

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
    qDebug("Bind done\n");
    ::listen(fd, backlog);
    return fd;
}

int acceptConnections(int socket)
{
    while (isRunning()) {
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
        const char *reason = nullptr;
        if (!ConnectionThread::start(client, text, &reason)) {
            std::fprintf(stderr, "Could not create server thread. Error: %s\n", reason);
            ::close(client);
            return 1;
        }
    }
    closeListeningSocket();
    return 0;
}

bool waitReadable(int socket)
{
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        const int n = ::select(socket + 1, &readable, nullptr, nullptr, nullptr);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

void closeListeningSocket()
{
    const int fd = listenSocket.exchange(0);
    if (fd > 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

void setListeningSocket(int socket)
{
    listenSocket.store(socket);
}

int listeningSocket()
{
    return listenSocket.load();
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
    const int fd = listenSocket.exchange(0);
    if (fd > 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

} // namespace Listener
