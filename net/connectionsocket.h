#pragma once

#include "base/tls.h"
#include "protocol/connection.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>

#include <atomic>
#include <memory>

// The socket of one served connection. Its thread and any relay under way to it share it through
// a shared_ptr, and the descriptor is closed only when the last of them lets go, so a relay can
// never write to a closed descriptor or to one already reused by another client.
//
// Until a control client registers the connection, its thread uses plain blocking calls; once it
// is shared, the thread waits with poll() and reads and writes under the stream lock, which a
// relay holds from its send to the end of its answer.
//
// On the TLS port every read and write goes through the connection's TlsStream instead, under the
// same rules: the stream lock covers every use of it once the connection is shared.
class ConnectionSocket : public Connection
{
public:
    explicit ConnectionSocket(int descriptor);
    ~ConnectionSocket() override;
    ConnectionSocket(const ConnectionSocket &) = delete;
    ConnectionSocket &operator=(const ConnectionSocket &) = delete;

    int descriptor() const { return fd; }

    // Owning thread, before anything else: the server's side of a TLS handshake within msecs.
    bool startTls(const TlsContext &context, int msecs, QString *error);

    // Owning thread, unshared: false when nothing arrives (not even the peer's close) in msecs.
    bool waitForMessage(int msecs);
    // Owning thread: the next message (one receive), 0 when the peer closed, negative on failure.
    // A TLS record begun but not finished within msecs (when given) counts as a failure.
    qint64 receiveMessage(char *buffer, int size, int msecs = -1);

    bool sendReply(const QByteArray &bytes) override;
    QByteArray receive(int limit) override;
    void shutdown() override;
    void startSharing() override { shared = true; }
    bool isShared() const override { return shared; }
    void beginExclusiveUse() override;
    void endExclusiveUse() override;
    QByteArray relay(const QByteArray &message, int msecs) override;
    bool isDropped() const override { return dropped; }

private:
    // With the stream lock held, on a shared connection.
    bool sendShared(const QByteArray &bytes, const QDeadlineTimer &deadline);

    const int fd;
    std::unique_ptr<TlsStream> tls;
    bool shared = false;
    bool holdsStream = false; // the owning thread's exclusive use
    std::atomic<bool> dropped{false};
    // Serialises the exchanges on this one stream; nothing else is guarded by it.
    QMutex streamLock;
};
