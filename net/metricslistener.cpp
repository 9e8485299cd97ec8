#include "net/metricslistener.h"

#include "base/socketio.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

// A scraper's request is a line and a few headers.
constexpr int RequestLimit = 8192;
constexpr int RequestMsecs = 5000;

QByteArray status(const char *line, const QByteArray &extraHeaders = QByteArray())
{
    return QByteArray("HTTP/1.1 ") + line + "\r\nContent-Length: 0\r\nConnection: close\r\n" + extraHeaders + "\r\n";
}

// The request line and headers, up to the blank line; empty when it never came whole.
QByteArray receiveHead(int socket, const QDeadlineTimer &deadline, bool *tooLong)
{
    QByteArray head;
    while (head.size() < RequestLimit) {
        if (!SocketIo::waitFor(socket, POLLIN, deadline))
            return QByteArray();
        const QByteArray part = SocketIo::boundedReceive(socket, RequestLimit - head.size());
        if (part.isEmpty())
            return QByteArray();
        head += part;
        const int end = head.indexOf("\r\n\r\n");
        if (end >= 0)
            return head.left(end);
    }
    *tooLong = true;
    return QByteArray();
}

QByteArray answer(const QByteArray &head, bool tooLong, const std::function<QByteArray()> &scrape)
{
    if (tooLong)
        return status("431 Request Header Fields Too Large");
    // "METHOD SP TARGET SP HTTP/1.x": the only part of the request read at all.
    const int lineEnd = head.indexOf("\r\n");
    const QList<QByteArray> line = (lineEnd < 0 ? head : head.left(lineEnd)).split(' ');
    if (line.size() != 3 || !line[2].startsWith("HTTP/1."))
        return status("400 Bad Request");
    if (line[0] != "GET")
        return status("405 Method Not Allowed", "Allow: GET\r\n");
    if (line[1] != MetricsListener::Path)
        return status("404 Not Found");
    const QByteArray body = scrape();
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void serveScrapes(int listening, const std::function<QByteArray()> &scrape)
{
    for (;;) {
        const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::usleep(100 * 1000);
            continue;
        }
        const QDeadlineTimer deadline(RequestMsecs);
        bool tooLong = false;
        const QByteArray head = receiveHead(client, deadline, &tooLong);
        if (!head.isEmpty() || tooLong)
            SocketIo::sendWithin(client, answer(head, tooLong, scrape), deadline);
        ::shutdown(client, SHUT_RDWR);
        ::close(client);
    }
}

} // namespace

namespace MetricsListener {

int listenOn(const QString &addressAndPort, QString *error)
{
    const int colon = addressAndPort.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const int port = addressAndPort.mid(colon + 1).toInt(&portOk);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    if (colon <= 0 || !portOk || port <= 0 || port > 65535
        || ::inet_pton(AF_INET, addressAndPort.left(colon).toLatin1().constData(), &addr.sin_addr) != 1) {
        *error = QStringLiteral("%1 is no IPv4 address and port").arg(addressAndPort);
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        *error = QStringLiteral("%1: %2").arg(addressAndPort, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool start(int socket, std::function<QByteArray()> scrape, QString *error)
{
    try {
        std::thread(serveScrapes, socket, std::move(scrape)).detach();
    } catch (const std::system_error &e) {
        *error = QString::fromLocal8Bit(e.what());
        ::close(socket);
        return false;
    }
    return true;
}

} // namespace MetricsListener
