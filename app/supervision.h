#pragma once

#include <QByteArray>
#include <QString>

// What the service manager learns of a serving process: that it is ready, a status line with its
// clients and its database, and, as long as its accept loop and a connection's thread answer a
// probe, that it is alive. Nothing happens without a service manager (NOTIFY_SOCKET).
namespace Supervision {

// Once the listening sockets listen (a port of 0: not in use). Ready only when the privileged
// side answers too; false (with the reason) when it does not.
bool begin(const QByteArray &address, int plainPort, int tlsPort, QString *error);
QByteArray statusLine();

} // namespace Supervision
