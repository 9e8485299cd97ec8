#pragma once

#include "dispatch/sessionstate.h"

#include <QByteArray>
#include <QString>

#include <memory>

class Connection;

// The kinds of message, told apart by their leading bytes alone.
enum class MessageKind { Quit, RemoteServerRegistration, ServerCommand, BinaryFile, ByteArray, Request };
MessageKind messageKind(const QByteArray &message);

// The state of one client connection, owned by its thread: its view of the catalogue database
// (a pooled connection lent to each request that needs one) and, once a login succeeded, who is
// logged in. Every message of the connection arrives here, and the database connection goes
// back to the pool when its reply is ready.
class ClientSession
{
public:
    explicit ClientSession(const QString &clientAddress);
    ~ClientSession();
    ClientSession(const ClientSession &) = delete;
    ClientSession &operator=(const ClientSession &) = delete;

    // One message as the transport received it: sorted by its leading bytes into its kind,
    // handled, and answered on the connection (a quit ends the connection instead).
    // receivedBytes: what the receive delivered, up to a zero byte and beyond.
    void handleMessage(const QByteArray &message, int receivedBytes, const std::shared_ptr<Connection> &connection);
    // The connection is over: a control channel registered on it goes with it.
    void connectionEnded(Connection &connection);

    SessionState state;
};
