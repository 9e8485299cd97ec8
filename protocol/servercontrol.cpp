#include "protocol/servercontrol.h"

#include "net/clientsession.h"

namespace ServerControl {

QByteArray registerRemoteServer(ClientSession &session, int socket, const QByteArray &message)
{
    Q_UNUSED(socket)
    return relay(session, message);
}

QByteArray relay(ClientSession &session, const QByteArray &message)
{
    Q_UNUSED(message)
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    return QByteArray();
}

} // namespace ServerControl
