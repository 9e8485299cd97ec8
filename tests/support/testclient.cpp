#include "testclient.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool waitReadable(int fd, int msecs)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, msecs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

sockaddr_in loopbackAddress(const char *host, quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &addr.sin_addr);
    return addr;
}

} // namespace

TestClient::TestClient(quint16 port, const char *host, const char *sourceHost, int receiveBuffer)
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    // Before connecting, so that the window offered never exceeds it.
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in source = loopbackAddress(sourceHost ? sourceHost : "0.0.0.0", 0);
    const sockaddr_in target = loopbackAddress(host, port);
    if ((sourceHost && ::bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) != 0)
        || ::connect(fd, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0)
        close();
}

TestClient::~TestClient()
{
    close();
}

void TestClient::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool TestClient::send(const QByteArray &bytes)
{
    for (qsizetype sent = 0, n = 0; sent < bytes.size(); sent += n) {
        n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
    }
    return true;
}

QByteArray TestClient::receive(int msecs)
{
    QByteArray result;
    char buffer[65536];
    // A reply is one send on the server side; anything still in flight follows at once.
    for (int wait = msecs; fd >= 0 && waitReadable(fd, wait); wait = 30) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        result.append(buffer, int(n));
    }
    return result;
}

QByteArray TestClient::receiveExactly(int n, int msecs)
{
    QByteArray result;
    QDeadlineTimer deadline(msecs);
    char buffer[65536];
    while (result.size() < n && !deadline.hasExpired() && waitReadable(fd, int(qMax<qint64>(1, deadline.remainingTime())))) {
        const ssize_t got = ::recv(fd, buffer, size_t(qMin<qsizetype>(sizeof buffer, n - result.size())), 0);
        if (got <= 0)
            break;
        result.append(buffer, int(got));
    }
    return result;
}

QByteArray TestClient::request(const QByteArray &message, int msecs)
{
    return send(message) ? receive(msecs) : QByteArray();
}

QByteArray TestClient::requestLine(const QByteArray &message, int msecs)
{
    QByteArray reply;
    QDeadlineTimer deadline(msecs);
    if (!send(message))
        return reply;
    while (!reply.endsWith('\n') && !deadline.hasExpired()) {
        const QByteArray more = receiveExactly(1, int(qMax<qint64>(1, deadline.remainingTime())));
        if (more.isEmpty())
            break;
        reply += more;
    }
    return reply;
}

bool TestClient::waitForClose(int msecs)
{
    QDeadlineTimer deadline(msecs);
    char buffer[4096];
    while (!deadline.hasExpired() && waitReadable(fd, int(qMax<qint64>(1, deadline.remainingTime())))) {
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

bool TestClient::staysSilent(int msecs)
{
    return !waitReadable(fd, msecs);
}
