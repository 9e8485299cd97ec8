#include "net/connectionsocket.h"

#include "net/socketio.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QScopeGuard>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Relay answers are read in one receive of at most this many bytes, like every peer reply.
constexpr int answerLimit = 1024;
// A control client that stops reading must not hold the stream, and every relay behind it.
constexpr int sharedSendLimitMsecs = 30000;

bool waitReadable(int fd, QDeadlineTimer deadline)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, deadline.isForever() ? -1 : int(deadline.remainingTime()));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc > 0;
    }
}

} // namespace

ConnectionSocket::ConnectionSocket(int descriptor)
    : fd(descriptor)
{
}

ConnectionSocket::~ConnectionSocket()
{
    ::close(fd);
}

bool ConnectionSocket::waitForMessage(int msecs)
{
    return waitReadable(fd, QDeadlineTimer(msecs));
}

qint64 ConnectionSocket::receiveMessage(char *buffer, int size)
{
    for (;;) {
        if (!shared) {
            const ssize_t n = ::recv(fd, buffer, size_t(size), 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
        // A relay holds the lock from its send to its receive, so an answer that wakes us is
        // gone by the time we get the lock, and we go back to waiting.
        if (!waitReadable(fd, QDeadlineTimer(QDeadlineTimer::Forever)))
            return -1;
        QMutexLocker locker(&streamLock);
        // What a dropped client sent meanwhile is not served.
        if (dropped)
            return 0;
        const ssize_t n = ::recv(fd, buffer, size_t(size), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        return n;
    }
}

bool ConnectionSocket::sendReply(const QByteArray &bytes)
{
    if (!shared)
        return SocketIo::sendBytes(fd, bytes);
    if (holdsStream)
        return sendShared(bytes, QDeadlineTimer(sharedSendLimitMsecs));
    QMutexLocker locker(&streamLock);
    return sendShared(bytes, QDeadlineTimer(sharedSendLimitMsecs));
}

QByteArray ConnectionSocket::receive(int limit)
{
    return SocketIo::boundedReceive(fd, limit);
}

bool ConnectionSocket::sendShared(const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    if (dropped)
        return false;
    if (SocketIo::sendWithin(fd, bytes, deadline))
        return true;
    dropped = true;
    shutdown();
    return false;
}

void ConnectionSocket::shutdown()
{
    ::shutdown(fd, SHUT_RDWR);
}

QByteArray ConnectionSocket::relay(const QByteArray &message, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    if (!streamLock.tryLock(msecs))
        return QByteArray();
    const auto unlock = qScopeGuard([this] { streamLock.unlock(); });
    if (!sendShared(message, deadline) || !waitReadable(fd, deadline))
        return QByteArray();
    return SocketIo::textReceive(fd, answerLimit).toUtf8();
}

void ConnectionSocket::beginExclusiveUse()
{
    holdsStream = shared;
    if (holdsStream)
        streamLock.lock();
}

void ConnectionSocket::endExclusiveUse()
{
    if (holdsStream)
        streamLock.unlock();
    holdsStream = false;
}
