#include "dispatch/bytearraycommands.h"

#include "net/clientsession.h"

namespace ByteArrayCommands {

QByteArray handle(ClientSession &session, const QByteArray &message)
{
    Q_UNUSED(message)
    // Refused unframed: a client that has not logged in gets the plain text.
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    return QByteArray();
}

} // namespace ByteArrayCommands
