#include "base/socketio.h"

#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>

namespace {

QMutex &errorLock()
{
    static QMutex *lock = new QMutex; // outlives detached threads at exit
    return *lock;
}

QString &errorText()
{
    static QString *text = new QString;
    return *text;
}

} // namespace

namespace SocketIo {

QString lastSocketError()
{
    QMutexLocker locker(&errorLock());
    return errorText();
}

void setLastSocketError(const QString &text)
{
    QMutexLocker locker(&errorLock());
    errorText() = text;
}

bool sendBytes(int socket, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        // MSG_NOSIGNAL: a peer that has gone away must not kill the process.
        const ssize_t n = ::send(socket, data, static_cast<size_t>(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

bool sendWithin(int socket, const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(socket, data, static_cast<size_t>(left), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        if (!waitFor(socket, POLLOUT, deadline))
            return false;
    }
    return true;
}

bool waitFor(int socket, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd p{socket, events, 0};
        const int rc = ::poll(&p, 1, deadline.isForever() ? -1 : int(qMax<qint64>(0, deadline.remainingTime())));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc > 0;
    }
}

bool sendText(int socket, const QString &text)
{
    return sendBytes(socket, text.toUtf8());
}

QByteArray boundedReceive(int socket, int limit)
{
    QByteArray result;
    if (limit <= 0)
        return result;
    // One call for the whole limit, straight into the result: an upload's 64 KiB pieces taken a
    // KiB per call cost sixty-four system calls and copies each. Never past the limit: an
    // upload's content may be followed at once by the next message.
    result.resize(limit);
    ssize_t n;
    do {
        n = ::recv(socket, result.data(), static_cast<size_t>(limit), 0);
    } while (n < 0 && errno == EINTR);
    result.resize(n > 0 ? static_cast<int>(n) : 0);
    if (n > 0)
        std::fflush(stdout);
    return result;
}

QString textReceive(int socket, int limit)
{
    return QString::fromUtf8(boundedReceive(socket, limit)).trimmed();
}

} // namespace SocketIo
