#pragma once

#include <QVariant>

// Checks on an open connection of the database driver, given the driver's native handle
// (QSqlDriver::handle()). Both are false for a handle that is not a live client connection.
namespace DatabaseConnection {

// Without a round trip: the server has not closed the connection or sent anything unasked.
// A server that went away (killed, restarted, timed the connection out) leaves the socket
// readable, so a connection that fails this must not be used.
bool looksAlive(const QVariant &driverHandle);

// One round trip: the server answers on this connection.
bool answers(const QVariant &driverHandle);

} // namespace DatabaseConnection
