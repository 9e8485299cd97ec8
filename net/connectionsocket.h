#pragma once

#include "protocol/connection.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>

#include <atomic>

// The socket of one served connection. Its thread and any relay under way to it share it through
// a shared_ptr, and the descriptor is closed only when the last of them lets go, so a relay can
// never write to a closed descriptor or to one already reused by another client.
//
// Until a control client registers the connection, its thread uses plain blocking calls; once it
// is shared, the thread waits with poll() and reads and writes under the stream lock, which a
// relay holds from its send to the end of its answer.
class ConnectionSocket : public Connection
{
public:
    explicit ConnectionSocket(int descriptor);
    ~ConnectionSocket() override;
    ConnectionSocket(const ConnectionSocket &) = delete;
    ConnectionSocket &operator=(const ConnectionSocket &) = delete;

    int descriptor() const { return fd; }

    // Owning thread, unshared: false when nothing arrives (not even the peer's close) in msecs.
    bool waitForMessage(int msecs);
    // Owning thread: the next message (one receive), 0 when the peer closed, negative on failure.
    qint64 receiveMessage(char *buffer, int size);

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
    bool shared = false;
    bool holdsStream = false; // the owning thread's exclusive use
    std::atomic<bool> dropped{false};
    // Serialises the exchanges on this one stream; nothing else is guarded by it.
    QMutex streamLock;
};
