#include "net/connectionsocket.h"

#include "base/socketio.h"

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

bool waitReadable(int fd, const QDeadlineTimer &deadline)
{
    return SocketIo::waitFor(fd, POLLIN, deadline);
}

} // namespace

ConnectionSocket::ConnectionSocket(int descriptor)
    : fd(descriptor)
{
}

ConnectionSocket::~ConnectionSocket()
{
    tls.reset(); // its closing words go out before the descriptor does
    ::close(fd);
}

bool ConnectionSocket::startTls(const TlsContext &context, int msecs, QString *error)
{
    tls = TlsStream::accept(fd, context, QDeadlineTimer(msecs), error);
    return tls != nullptr;
}

bool ConnectionSocket::waitForMessage(int msecs)
{
    return tls ? tls->waitReadable(QDeadlineTimer(msecs)) : waitReadable(fd, QDeadlineTimer(msecs));
}

qint64 ConnectionSocket::receiveMessage(char *buffer, int size, int msecs)
{
    for (;;) {
        if (!shared && tls) {
            const qint64 n = tls->read(buffer, size, QDeadlineTimer(msecs));
            return n == TlsStream::NothingYet ? -1 : n;
        }
        if (!shared) {
            const ssize_t n = ::recv(fd, buffer, size_t(size), 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
        if (tls) {
            // The library may hold a record already read from the socket: asked first, under the
            // lock, as every use of the stream is.
            {
                QMutexLocker locker(&streamLock);
                if (dropped)
                    return 0;
                const qint64 n = tls->read(buffer, size, QDeadlineTimer(0));
                if (n != TlsStream::NothingYet)
                    return n;
            }
            if (!waitReadable(fd, QDeadlineTimer(QDeadlineTimer::Forever)))
                return -1;
            continue;
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
        return tls ? tls->write(bytes, QDeadlineTimer(QDeadlineTimer::Forever)) : SocketIo::sendBytes(fd, bytes);
    if (holdsStream)
        return sendShared(bytes, QDeadlineTimer(sharedSendLimitMsecs));
    QMutexLocker locker(&streamLock);
    return sendShared(bytes, QDeadlineTimer(sharedSendLimitMsecs));
}

QByteArray ConnectionSocket::receive(int limit)
{
    if (!tls)
        return SocketIo::boundedReceive(fd, limit);
    QByteArray bytes(qMax(0, limit), Qt::Uninitialized);
    const qint64 n = limit > 0 ? tls->read(bytes.data(), limit, QDeadlineTimer(QDeadlineTimer::Forever)) : 0;
    bytes.resize(n > 0 ? int(n) : 0);
    return bytes;
}

bool ConnectionSocket::sendShared(const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    if (dropped)
        return false;
    if (tls ? tls->write(bytes, deadline) : SocketIo::sendWithin(fd, bytes, deadline))
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
    if (!sendShared(message, deadline))
        return QByteArray();
    if (tls) {
        // The whole record, so that no rest of it is left for the owning thread to take as a
        // message; what lies beyond the limit is dropped.
        QByteArray answer(TlsStream::LargestRecord, Qt::Uninitialized);
        const qint64 n = tls->read(answer.data(), answer.size(), deadline);
        answer.resize(n > 0 ? int(qMin<qint64>(n, answerLimit)) : 0);
        return QString::fromUtf8(answer).trimmed().toUtf8();
    }
    if (!waitReadable(fd, deadline))
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
