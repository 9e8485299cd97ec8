#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMutex>

#include <atomic>

// The socket of one served connection. Its thread and any relay under way to it share it through
// a shared_ptr, and the descriptor is closed only when the last of them lets go, so a relay can
// never write to a closed descriptor or to one already reused by another client.
class ConnectionSocket
{
public:
    explicit ConnectionSocket(int descriptor);
    ~ConnectionSocket();
    ConnectionSocket(const ConnectionSocket &) = delete;
    ConnectionSocket &operator=(const ConnectionSocket &) = delete;

    int descriptor() const { return fd; }

    // Owning thread only. Once a control client registered the connection, relays read answers
    // on it, so from then on the thread reads only what no relay is waiting for.
    void startSharing() { shared = true; }
    bool isShared() const { return shared; }

    // Owning thread: the next message (one receive), 0 when the peer closed, negative on failure.
    qint64 receiveMessage(char *buffer, int size);
    // Owning thread: sends a reply without cutting into a relay's exchange.
    bool sendReply(const QByteArray &bytes);
    // Ends the connection for the peer and for any relay still waiting on it.
    void shutdown();
    // True once a send on the shared connection failed or ran out of time. The stream may then
    // hold part of a message, so the connection is shut down and over.
    bool isDropped() const { return dropped; }
    // Owning thread: keeps relays out for its lifetime, while the thread reads more than one
    // message itself (an upload).
    class ExclusiveUse
    {
    public:
        explicit ExclusiveUse(ConnectionSocket &socket);
        ~ExclusiveUse();
        ExclusiveUse(const ExclusiveUse &) = delete;
        ExclusiveUse &operator=(const ExclusiveUse &) = delete;

        bool send(const QByteArray &bytes);

    private:
        ConnectionSocket &socket;
        const bool locked;
    };

    // Another thread: sends message and returns the answer (one receive of at most 1024 bytes,
    // trimmed), or an empty text when sending fails, the peer closed or msecs passed (waiting
    // for the stream, sending and waiting for the answer all count).
    QByteArray relay(const QByteArray &message, int msecs);

private:
    // With the stream lock held, on a shared connection.
    bool sendShared(const QByteArray &bytes, const QDeadlineTimer &deadline);

    const int fd;
    bool shared = false;
    std::atomic<bool> dropped{false};
    // Serialises the exchanges on this one stream; nothing else is guarded by it.
    QMutex streamLock;
};
