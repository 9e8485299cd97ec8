#include "base/peerconnection.h"
#include "base/log.h"

#include "base/filestamp.h"
#include "base/settings.h"
#include "base/socketio.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QSet>
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
    ConnectRefused = -108,
    HostNotFound = -201,
};

constexpr int ConnectWaitMsecs = 5000;
constexpr int HandshakeMsecs = 10000;
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

// Waits for a non-blocking connect to finish: 0 when connected, otherwise the failure.
int waitConnected(int fd)
{
    QDeadlineTimer deadline(ConnectWaitMsecs);
    for (;;) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        const int n = ::poll(&p, 1, static_cast<int>(deadline.remainingTime()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return ConnectTimedOut;
        int error = 0;
        socklen_t length = sizeof error;
        // A refused connect also wakes poll; only a zero pending error means connected.
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return ConnectTimedOut;
        if (error == ECONNREFUSED)
            return ConnectRefused;
        return (p.revents & POLLOUT) && error == 0 ? 0 : ConnectTimedOut;
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
        if (errno == ECONNREFUSED)
            return ConnectRefused;
        if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY && errno != EISCONN)
            return ConnectFailed;
        if (const int failure = waitConnected(fd))
            return failure;
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

// Log entries about one peer's transport, each written once for the life of the process: a peer
// asked on every forwarded request must not fill the log.
class OnceEach
{
public:
    static OnceEach &instance()
    {
        static OnceEach *once = new OnceEach; // never destroyed: threads outlive main
        return *once;
    }

    void report(bool isError, const QString &text)
    {
        {
            QMutexLocker locker(&lock);
            if (written.contains(text) || written.size() >= 1024)
                return;
            written.insert(text);
        }
        isError ? Log::error(text) : Log::info(text);
    }

private:
    QMutex lock;
    QSet<QString> written;
};

// The context peers are verified with, made again when TlsCaFile names another file or the file
// changed.
class PeerTlsContext
{
public:
    static PeerTlsContext &instance()
    {
        static PeerTlsContext *context = new PeerTlsContext; // never destroyed: threads outlive main
        return *context;
    }

    std::shared_ptr<TlsContext> current(QString *error)
    {
        const QString file = Settings::tlsCaFile();
        const FileStamp stamp = FileStamp::of(file);
        {
            QMutexLocker locker(&lock);
            if (context && file == madeFrom && stamp == madeStamp)
                return context;
        }
        std::shared_ptr<TlsContext> fresh = TlsContext::forClient(file, error);
        QMutexLocker locker(&lock);
        if (fresh) {
            context = fresh;
            madeFrom = file;
            madeStamp = stamp;
        }
        return fresh;
    }

private:
    QMutex lock;
    std::shared_ptr<TlsContext> context;
    QString madeFrom;
    FileStamp madeStamp;
};

PeerConnection::Stream plainStream(int fd)
{
    PeerConnection::Stream stream;
    stream.socket = fd;
    return stream;
}

} // namespace

// TLS as PeerTls says, on the peer's TLS port, which is ours: the servers of a platform share
// their ports. "preferred" goes plain only when nothing listens there; a peer whose certificate
// fails the check gets no connection at all.
PeerConnection::Stream PeerConnection::open(const QString &host, int port)
{
    const Settings::PeerTlsMode mode = Settings::peerTls();
    if (mode == Settings::PeerTlsMode::Off)
        return plainStream(openLogged(host, port));
    const int tlsPort = Settings::tlsPort();
    const int fd = openLogged(host, tlsPort);
    if (fd >= 0) {
        QString error;
        const std::shared_ptr<TlsContext> context = PeerTlsContext::instance().current(&error);
        Stream stream;
        if (context)
            stream.tls = TlsStream::connect(fd, *context, host, QDeadlineTimer(HandshakeMsecs), &error);
        if (stream.tls) {
            stream.socket = fd;
            return stream;
        }
        ::close(fd);
        OnceEach::instance().report(true, QStringLiteral("No connection to %1:%2, TLS failed: %3").arg(host).arg(tlsPort).arg(error));
        return Stream();
    }
    if (fd != ConnectRefused)
        return Stream();
    if (mode == Settings::PeerTlsMode::Required) {
        OnceEach::instance().report(true, QStringLiteral("No connection to %1: it has no TLS port (%2) and PeerTls is required")
                                              .arg(host).arg(tlsPort));
        return Stream();
    }
    OnceEach::instance().report(false, QStringLiteral("%1 has no TLS port (%2): connections to it are in plain text")
                                           .arg(host).arg(tlsPort));
    return plainStream(openLogged(host, port));
}

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
    Stream stream = open(host, port);
    QMutexLocker locker(&lock);
    adoptLocked(std::move(stream));
    return connected;
}

bool PeerConnection::connectAndLogin(const QString &host, int port, const QString &first,
                                     const QString &second, const QString &command)
{
    Stream stream = open(host, port);
    QMutexLocker locker(&lock);
    adoptLocked(std::move(stream));
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
        sendLocked(QStringLiteral("quit\n"));
    releaseLocked();
}

bool PeerConnection::isConnected()
{
    QMutexLocker locker(&lock);
    return connected;
}

void PeerConnection::adoptLocked(Stream stream)
{
    releaseLocked();
    if (stream.socket >= 0) {
        socket = stream.socket;
        tls = std::move(stream.tls);
        connected = true;
    }
}

bool PeerConnection::sendLocked(const QString &text)
{
    return tls ? tls->write(text.toUtf8(), QDeadlineTimer(ReplyTimeoutSeconds * 1000)) : SocketIo::sendText(socket, text);
}

QString PeerConnection::exchangeLocked(const QString &text)
{
    if (!connected || !sendLocked(text))
        return QString();
    if (!tls)
        return SocketIo::textReceive(socket, ReplyLimit);
    // The whole record, so that no rest of this reply is taken for the next one.
    QByteArray reply(TlsStream::LargestRecord, Qt::Uninitialized);
    const qint64 n = tls->read(reply.data(), reply.size(), QDeadlineTimer(ReplyTimeoutSeconds * 1000));
    reply.resize(n > 0 ? int(qMin<qint64>(n, ReplyLimit)) : 0);
    return QString::fromUtf8(reply).trimmed();
}

bool PeerConnection::loginLocked(const QString &first, const QString &second, const QString &command)
{
    const QString reply = exchangeLocked(command + QLatin1Char('?') + first + QStringLiteral("&&")
                                         + second + QLatin1Char('\n'));
    return !reply.isEmpty() && !reply.startsWith(QLatin1String("Error"));
}

void PeerConnection::releaseLocked()
{
    tls.reset();
    if (socket >= 0) {
        ::shutdown(socket, SHUT_RDWR);
        ::close(socket);
    }
    socket = -1;
    connected = false;
}
