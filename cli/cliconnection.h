#pragma once

#include <QByteArray>
#include <QString>
#include <QSslSocket>

// One blocking connection to the server. Text replies have no framing, so a reply ends when
// the server goes quiet; byte-array replies and the upload's "Ok" are read by exact size.
class CliConnection
{
public:
    explicit CliConnection(int timeoutMs);

    bool open(const QString &host, quint16 port);
    // TLS 1.2 or later; the certificate is checked against caFile (the system's trust store
    // when empty) and host, or not at all when insecure.
    bool openEncrypted(const QString &host, quint16 port, const QString &caFile, bool insecure);
    // Writes, waiting until the system has taken the bytes, so large content streams.
    bool send(const QByteArray &bytes);

    // Waits for the first bytes, then takes what follows until the line falls quiet.
    // False when nothing arrived in time or the connection ended first.
    bool receiveReply(QByteArray *reply);
    // Reads until a line end (the fixed login replies all end with one).
    bool receiveLine(QByteArray *line);
    bool receiveExactly(qint64 size, QByteArray *bytes);
    // Everything up to the server's close; false when it stays open past the timeout.
    bool receiveUntilClosed(QByteArray *bytes);
    // Bytes the server sent without being asked to yet (polled without waiting).
    bool hasUnreadBytes();

    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    QString errorText() const { return error; }

private:
    bool waitForMore(int msecs);
    bool fail(const QString &text);

    QSslSocket socket;
    QByteArray pending; // received but not yet handed out
    int timeoutMs;
    QString error;
};
