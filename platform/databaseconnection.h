#pragma once

#include <QByteArray>
#include <QStringList>
#include <QVariant>

// A check on an open connection of the database driver, given the driver's native handle
// (QSqlDriver::handle()); false for a handle that is not a live client connection.
namespace DatabaseConnection {

// Without a round trip: the server has not closed the connection or sent anything unasked.
// A server that went away (killed, restarted, timed the connection out) leaves the socket
// readable, so a connection that fails this must not be used.
bool looksAlive(const QVariant &driverHandle);

// A select prepared on the server once and run again with new text values: each run sends only
// the statement's id and the values, in one round trip (the toolkit's driver adds a reset to
// every run). Must be destroyed before its connection is closed.
class PreparedSelect
{
public:
    PreparedSelect(const QVariant &driverHandle, const QByteArray &text);
    ~PreparedSelect();
    PreparedSelect(const PreparedSelect &) = delete;
    PreparedSelect &operator=(const PreparedSelect &) = delete;

    bool isPrepared() const { return statement != nullptr; }
    // The first column of every row as text (NULL as an empty one); false on failure.
    bool run(const QStringList &values, QStringList *firstColumn);
    // The client library's code and text of the last failure.
    int errorCode() const { return code; }
    QString errorText() const { return text; }

private:
    void fail();

    void *statement = nullptr;
    int code = 0;
    QString text;
};

} // namespace DatabaseConnection
