#include "net/socketio.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>

namespace SocketIo {

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

bool sendText(int socket, const QString &text)
{
    return sendBytes(socket, text.toUtf8());
}

QByteArray boundedReceive(int socket, int limit)
{
    const int chunk = qMin(limit, 1024);
    QByteArray result;
    if (chunk <= 0)
        return result;
    char buffer[1024];
    for (;;) {
        // Never past the limit: an upload's content may be followed at once by the next message.
        const int wanted = qMin(chunk, limit - int(result.size()));
        const ssize_t n = ::recv(socket, buffer, static_cast<size_t>(wanted), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.append(buffer, static_cast<int>(n));
        std::fflush(stdout);
        if (result.size() >= limit || result.size() < chunk)
            break;
    }
    return result;
}

QString textReceive(int socket, int limit)
{
    return QString::fromUtf8(boundedReceive(socket, limit)).trimmed();
}

} // namespace SocketIo
