#include "cli/cliconnection.h"
#include "cli/clioutput.h"

#include <QDeadlineTimer>
#include <QSslConfiguration>

using namespace CliOutput;

namespace {

// A reply is written with one send; what is still in flight follows within these gaps.
constexpr int quietAfterLineEndMs = 50;
constexpr int quietMs = 500;

} // namespace

CliConnection::CliConnection(int timeoutMs)
    : timeoutMs(timeoutMs)
{
}

bool CliConnection::fail(const QString &text)
{
    error = text;
    return false;
}

bool CliConnection::open(const QString &host, quint16 port)
{
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(timeoutMs))
        return fail(tr("Cannot connect to %1 port %2: %3").arg(host).arg(port).arg(socket.errorString()));
    return true;
}

bool CliConnection::openEncrypted(const QString &host, quint16 port, const QString &caFile, bool insecure)
{
    if (!QSslSocket::supportsSsl())
        return fail(tr("TLS is not available: %1").arg(QSslSocket::sslLibraryVersionString()));
    QSslConfiguration configuration = socket.sslConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    if (!caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caFile, QSsl::Pem);
        if (authorities.isEmpty())
            return fail(tr("No certificate in %1.").arg(caFile));
        configuration.setCaCertificates(authorities);
    }
    configuration.setPeerVerifyMode(insecure ? QSslSocket::VerifyNone : QSslSocket::VerifyPeer);
    socket.setSslConfiguration(configuration);
    socket.connectToHostEncrypted(host, port);
    if (!socket.waitForEncrypted(timeoutMs)) {
        QStringList reasons;
        for (const QSslError &e : socket.sslHandshakeErrors())
            reasons.append(e.errorString());
        if (reasons.isEmpty())
            reasons.append(socket.errorString());
        return fail(tr("No TLS connection to %1 port %2: %3").arg(host).arg(port).arg(reasons.join(QStringLiteral("; "))));
    }
    return true;
}

bool CliConnection::send(const QByteArray &bytes)
{
    if (!isConnected())
        return fail(tr("The server closed the connection."));
    socket.write(bytes);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(timeoutMs))
            return fail(tr("Sending failed: %1").arg(socket.errorString()));
    }
    return true;
}

bool CliConnection::waitForMore(int msecs)
{
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(msecs))
        return false;
    pending += socket.readAll();
    return true;
}

bool CliConnection::hasUnreadBytes()
{
    if (socket.bytesAvailable() == 0)
        socket.waitForReadyRead(0);
    return !pending.isEmpty() || socket.bytesAvailable() > 0;
}

bool CliConnection::receiveReply(QByteArray *reply)
{
    if (pending.isEmpty() && !waitForMore(timeoutMs)) {
        if (!isConnected())
            return fail(tr("The server closed the connection without a reply."));
        return fail(tr("No reply within %1 s.").arg(timeoutMs / 1000));
    }
    while (waitForMore(pending.endsWith('\n') || pending == "Not authenticated" ? quietAfterLineEndMs
                                                                                 : quietMs)) {
    }
    *reply = pending;
    pending.clear();
    return true;
}

bool CliConnection::receiveLine(QByteArray *line)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pending.contains('\n')) {
        if (!waitForMore(int(deadline.remainingTime()))) {
            if (!isConnected())
                return fail(tr("The server closed the connection."));
            return fail(tr("No reply within %1 s.").arg(timeoutMs / 1000));
        }
    }
    const int end = pending.indexOf('\n') + 1;
    *line = pending.left(end);
    pending.remove(0, end);
    return true;
}

bool CliConnection::receiveExactly(qint64 size, QByteArray *bytes)
{
    // The timeout counts from the last bytes that arrived, so a large payload may take longer.
    while (pending.size() < size) {
        if (!waitForMore(timeoutMs)) {
            if (!isConnected())
                return fail(tr("The server closed the connection after %1 of %2 bytes.")
                                .arg(pending.size()).arg(size));
            return fail(tr("No more bytes within %1 s (%2 of %3 arrived).")
                            .arg(timeoutMs / 1000).arg(pending.size()).arg(size));
        }
    }
    *bytes = pending.left(int(size));
    pending.remove(0, int(size));
    return true;
}

bool CliConnection::receiveUntilClosed(QByteArray *bytes)
{
    while (isConnected()) {
        if (!waitForMore(timeoutMs) && isConnected())
            return fail(tr("No reply within %1 s.").arg(timeoutMs / 1000));
    }
    pending += socket.readAll();
    *bytes = pending;
    pending.clear();
    return true;
}
