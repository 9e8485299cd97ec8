#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

struct SessionState;
class Connection;
class Request;
class UserSocketRegistry;

// Control messages relayed to the connection that a program registered for a user.
namespace ServerControl {

// A registration's parameters, the request's as it arrived (not trimmed); with exactly two, the
// address and the user (whitespace collapsed).
struct Registration {
    QStringList parameters;
    QString address;
    QString user;
};
Registration parseRegistration(const Request &asReceived);

// Runs on the registering connection's own thread, and answers on it.
void registerRemoteServer(const SessionState &session, const std::shared_ptr<Connection> &connection,
                          UserSocketRegistry &registry, const Request &asReceived);
// The close message, or any other control message relayed to the user's registered connection.
QByteArray handle(const SessionState &session, UserSocketRegistry &registry, const Request &request);

} // namespace ServerControl
