#include "platform/databaseconnection.h"

#include <mysql.h>
#include <poll.h>

#include <cstring>

namespace {

MYSQL *clientOf(const QVariant &handle)
{
    if (!handle.isValid() || std::strcmp(handle.typeName(), "MYSQL*") != 0)
        return nullptr;
    return *static_cast<MYSQL *const *>(handle.constData());
}

} // namespace

namespace DatabaseConnection {

bool looksAlive(const QVariant &driverHandle)
{
    MYSQL *client = clientOf(driverHandle);
    if (!client)
        return false;
    const my_socket socket = mysql_get_socket(client);
    if (socket < 0)
        return false;
    // Between statements the server never speaks first: anything to read is a close or the
    // error packet that precedes one.
    pollfd p{socket, POLLIN | POLLRDHUP, 0};
    const int n = ::poll(&p, 1, 0);
    return n == 0;
}

bool answers(const QVariant &driverHandle)
{
    MYSQL *client = clientOf(driverHandle);
    return client && mysql_ping(client) == 0;
}

} // namespace DatabaseConnection
