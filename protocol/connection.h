#pragma once

#include <QByteArray>

// A client's connection as the protocol sees it: the stream its messages arrive on. The transport
// implements it; a control client's connection is also reached from other connections' threads,
// which relay messages to it through the user-socket registry.
class Connection
{
public:
    virtual ~Connection() = default;

    // The owning thread's side.
    // Sends a reply whole, without cutting into a relay's exchange.
    virtual bool sendReply(const QByteArray &bytes) = 0;
    // At most limit bytes of what follows a message on the stream (an upload's content); empty
    // when the peer closed or failed.
    virtual QByteArray receive(int limit) = 0;
    // Ends the connection for the peer and for any relay waiting on it.
    virtual void shutdown() = 0;
    // From now on relays read answers here; the owning thread reads only what no relay waits for.
    virtual void startSharing() = 0;
    virtual bool isShared() const = 0;
    // Keeps relays out until endExclusiveUse(): a stretch of the stream that belongs to the owning
    // thread alone (an upload's content, a registration's reply).
    virtual void beginExclusiveUse() = 0;
    virtual void endExclusiveUse() = 0;

    // Another thread's side.
    // Sends message and returns the answer (one receive, trimmed), or nothing when sending failed,
    // the peer closed or msecs passed (waiting for the stream included).
    virtual QByteArray relay(const QByteArray &message, int msecs) = 0;
    // A send on the shared connection failed or ran out of time: the stream may hold part of a
    // message, so the connection is over.
    virtual bool isDropped() const = 0;
};

// The owning thread's exclusive use of its connection, for one scope.
class ExclusiveUse
{
public:
    explicit ExclusiveUse(Connection &connection) : connection(connection) { connection.beginExclusiveUse(); }
    ~ExclusiveUse() { connection.endExclusiveUse(); }
    ExclusiveUse(const ExclusiveUse &) = delete;
    ExclusiveUse &operator=(const ExclusiveUse &) = delete;

private:
    Connection &connection;
};
