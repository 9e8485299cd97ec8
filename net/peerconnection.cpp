#include "net/peerconnection.h"
#include "app/log.h"

#include "net/socketio.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QtDebug>

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Negative results of opening an outbound socket.
enum OpenFailure : int {
    BufferSizeFailed = -102,
    SocketFailed = -104,
    BlockingFailed = -105,
    ConnectFailed = -106,
    ConnectTimedOut = -107,
    HostNotFound = -201,
};

constexpr int ConnectWaitMsecs = 5000;
constexpr int ReplyLimit = 1024;
// A peer that never answers must not hold the connection (and its lock) for ever; forwarded
// storage work may legitimately take a while.
constexpr int ReplyTimeoutSeconds = 120;
// Longest host name the resolver accepts.
constexpr int MaxHostLength = 255;

bool resolveIPv4(const QString &host, sockaddr_in *address)
{
    const QByteArray name = host.toUtf8();
    if (name.isEmpty() || name.size() > MaxHostLength || name.contains('\0'))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    *address = *reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    ::freeaddrinfo(found);
    return true;
}

// Waits for a non-blocking connect to finish; false on time-out or when the peer refused.
bool waitConnected(int fd)
{
    QDeadlineTimer deadline(ConnectWaitMsecs);
    for (;;) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        const int n = ::poll(&p, 1, static_cast<int>(deadline.remainingTime()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        // A refused connect also wakes poll; only a zero pending error means connected.
        return (p.revents & POLLOUT) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
               && error == 0;
    }
}

// A connected, blocking socket, or a negative code. A failed attempt releases its socket.
int openOutboundSocket(const QString &host, int port)
{
    sockaddr_in address{};
    if (!resolveIPv4(host, &address))
        return HostNotFound;
    if (port < 0 || port > 65535)
        return ConnectFailed;
    address.sin_port = htons(static_cast<uint16_t>(port));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return SocketFailed;
    auto release = qScopeGuard([fd] { ::close(fd); });

    const int sendBuffer = 65536;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0) {
        const QString text = QStringLiteral("Setsockopt buffer size failed: %1").arg(errno);
        AX_DEBUG("%s", qUtf8Printable(text));
        SocketIo::setLastSocketError(text);
        return BufferSizeFailed;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        // In progress (or interrupted, which on a non-blocking socket goes on in the background).
        if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY && errno != EISCONN)
            return ConnectFailed;
        if (!waitConnected(fd))
            return ConnectTimedOut;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return BlockingFailed;
    timeval timeout{ReplyTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    release.dismiss();
    return fd;
}

int openLogged(const QString &host, int port)
{
    AX_DEBUG("Connecting to %s:%d", qUtf8Printable(host), port);
    const int fd = openOutboundSocket(host, port);
    if (fd < 0)
        AX_DEBUG("Could not connect to %s:%d (%d)", qUtf8Printable(host), port, fd);
    else
        AX_DEBUG("Connected");
    return fd;
}

} // namespace

PeerConnection::PeerConnection() = default;

PeerConnection::~PeerConnection()
{
    releaseLocked();
}

PeerConnection &PeerConnection::shared()
{
    // Never destroyed: detached connection threads may still use it while the process exits.
    static PeerConnection *const instance = new PeerConnection;
    return *instance;
}

bool PeerConnection::connect(const QString &host, int port)
{
    const int fd = openLogged(host, port);
    QMutexLocker locker(&lock);
    adoptLocked(fd);
    return connected;
}

bool PeerConnection::connectAndLogin(const QString &host, int port, const QString &first,
                                     const QString &second, const QString &command)
{
    const int fd = openLogged(host, port);
    QMutexLocker locker(&lock);
    adoptLocked(fd);
    return loginLocked(first, second, command);
}

QString PeerConnection::request(const QString &text)
{
    QMutexLocker locker(&lock);
    return exchangeLocked(text);
}

QString PeerConnection::requestWithParams(const QString &command, const QStringList &params)
{
    QString text = command;
    if (!params.isEmpty() && !params.first().isEmpty())
        text += QLatin1Char('?') + params.join(QLatin1Char('&'));
    return request(text);
}

bool PeerConnection::login(const QString &first, const QString &second, const QString &command)
{
    QMutexLocker locker(&lock);
    return loginLocked(first, second, command);
}

void PeerConnection::close()
{
    QMutexLocker locker(&lock);
    // A served connection never answers "quit": it only shuts down, so there is nothing to read.
    if (connected)
        SocketIo::sendText(socket, QStringLiteral("quit\n"));
    releaseLocked();
}

bool PeerConnection::isConnected()
{
    QMutexLocker locker(&lock);
    return connected;
}

void PeerConnection::adoptLocked(int newSocket)
{
    releaseLocked();
    if (newSocket >= 0) {
        socket = newSocket;
        connected = true;
    }
}

QString PeerConnection::exchangeLocked(const QString &text)
{
    if (!connected || !SocketIo::sendText(socket, text))
        return QString();
    return SocketIo::textReceive(socket, ReplyLimit);
}

bool PeerConnection::loginLocked(const QString &first, const QString &second, const QString &command)
{
    const QString reply = exchangeLocked(command + QLatin1Char('?') + first + QStringLiteral("&&")
                                         + second + QLatin1Char('\n'));
    return !reply.isEmpty() && !reply.startsWith(QLatin1String("Error"));
}

void PeerConnection::releaseLocked()
{
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
        ::close(socket);
    }
    socket = -1;
    connected = false;
}
