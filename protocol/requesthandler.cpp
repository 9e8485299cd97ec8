#include "protocol/requesthandler.h"

#include "net/clientsession.h"
#include "protocol/secretmask.h"

#include <QtDebug>

namespace RequestHandler {

QByteArray handle(ClientSession &session, const QByteArray &message)
{
    qDebug("Ready to read %d bytes", int(message.size()));
    qDebug("Question: %s", SecretMask::maskedForLog(message).constData());
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    return QByteArray();
}

} // namespace RequestHandler
