#include "protocol/requesthandler.h"

#include "base/log.h"
#include "dispatch/axservercommand.h"
#include "dispatch/replies.h"
#include "dispatch/sessionstate.h"
#include "protocol/secretmask.h"

#include <QtDebug>
#include <QtEndian>

namespace {

// Where every text reply but the refusal gets its line end.
QByteArray sent(const QString &reply)
{
    return reply.toUtf8() + '\n';
}

} // namespace

namespace RequestHandler {

QByteArray handle(SessionState &session, const Request &request, const CommandRow *row, const LoggedMessage &logged)
{
    AX_DEBUG("Ready to read %d bytes", int(request.message().size()));
    AX_DEBUG("Question: %s", logged.text());
    const bool beforeLogin = row && row->access == Access::NoLogin;
    if (!beforeLogin && session.userName.isNull())
        return QByteArray(Reply::NotAuthenticated);
    AXServerCommand command(&session);
    if (beforeLogin)
        return sent(command.dispatch(request, row));
    AX_DEBUG("Called command: %s", logged.text());
    const QByteArray reply = sent(command.dispatch(request, row));
    AX_DEBUG("Response: %s", logged.reply(reply).constData());
    return reply;
}

QByteArray handleByteArray(SessionState &session, const Request &request, const ByteArrayRow *row)
{
    // Refused unframed: a client that has not logged in gets the plain text.
    if (session.userName.isNull())
        return QByteArray(Reply::NotAuthenticated);
    AXServerCommand command(&session);
    AX_DEBUG("Called command: %s", request.message().constData());
    const QByteArray payload = command.dispatchByteArray(request, row);
    AX_DEBUG("Dispatching binary array message of %d bytes", int(payload.size()));
    return framed(payload);
}

QByteArray framed(const QByteArray &payload)
{
    QByteArray reply(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), reply.data());
    return reply + payload;
}

} // namespace RequestHandler
