#pragma once

#include "base/tls.h"

#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>

// An outbound connection to another server of the platform, speaking our own protocol: one
// message per write, one reply of at most 1024 bytes per read, trimmed. TLS or not as PeerTls
// says; the exchanges are the same either way.
//
// Exchanges, the socket swap of a connect and close all hold the connection's lock, so one object
// may serve several threads; the lock's only job is to keep the exchanges on this one socket
// apart, and the socket has send and receive time-outs. A reconnect releases the previous
// socket. Callers that need a connect and an exchange with nothing of another thread in between
// use connectAndLogin(), which is how the shared principal-server connection is used for
// authentication:
//
//     PeerConnection::shared().connectAndLogin(host, port, user, password, QStringLiteral("validate"))
class PeerConnection
{
public:
    PeerConnection();
    ~PeerConnection();
    PeerConnection(const PeerConnection &) = delete;
    PeerConnection &operator=(const PeerConnection &) = delete;

    // Waits at most 5 seconds for the peer. A failure leaves the connection unconnected.
    bool connect(const QString &host, int port);
    // The reply, or an empty text when not connected or when sending failed.
    QString request(const QString &text);
    // command, then "?" and the parameters joined by "&" unless the list or its first entry is empty.
    QString requestWithParams(const QString &command, const QStringList &params);
    // Sends command?first&&second and accepts a reply that is not empty and not an "Error".
    bool login(const QString &first, const QString &second, const QString &command);
    // Sends "quit\n" when connected, then releases the socket.
    void close();
    bool isConnected();

    // connect() and login() as one step: no other thread's connect, exchange or close can come
    // between them. The opening itself (up to 5 seconds) happens outside the lock.
    bool connectAndLogin(const QString &host, int port, const QString &first,
                         const QString &second, const QString &command);

    // The process-wide connection to the principal server, created on first use (safely from any
    // thread) and kept until the process ends. Its users connect it before each use.
    static PeerConnection &shared();

    // An opened connection: the socket, and the TLS over it when there is.
    struct Stream {
        int socket = -1;
        std::unique_ptr<TlsStream> tls;
    };

private:
    static Stream open(const QString &host, int port);
    // The caller holds the lock.
    void adoptLocked(Stream stream);
    bool sendLocked(const QString &text);
    QString exchangeLocked(const QString &text);
    bool loginLocked(const QString &first, const QString &second, const QString &command);
    void releaseLocked();

    QMutex lock;
    int socket = -1;
    std::unique_ptr<TlsStream> tls;
    bool connected = false;
};
