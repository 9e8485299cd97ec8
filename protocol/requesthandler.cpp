#include "protocol/requesthandler.h"

#include "app/log.h"
#include "app/settings.h"
#include "dispatch/axservercommand.h"
#include "dispatch/commandtable.h"
#include "dispatch/requestrecord.h"
#include "protocol/authentication.h"
#include "protocol/clientsession.h"
#include "protocol/secretmask.h"

#include <QtDebug>
#include <QtEndian>

namespace {

const QByteArray authenticationOk = QByteArrayLiteral("Authentication ok.\n");
const QByteArray badAuthentication = QByteArrayLiteral("Error: Bad authentication\n");
const QByteArray notInAdminGroup = QByteArrayLiteral("Error: Not in admin group\n");
const QByteArray notAuthenticated = QByteArrayLiteral("Not authenticated");

QByteArray login(ClientSession &session, const QString &command, const Request &request)
{
    // One reading of the name for every method and check, and for the session: a name that
    // could be read two ways is tried by none.
    if (!isValidUserName(request.field(1))) {
        ServerMetrics::instance().recordLogin(ServerMetrics::LoginMethod::None);
        AX_DEBUG("%s", badAuthentication.constData());
        return badAuthentication;
    }
    const QString user = normalizeUserName(request.field(1));
    if (qgetenv("DEBUG_NOAUTH") == "1") {
        ServerMetrics::instance().recordLogin(ServerMetrics::LoginMethod::Unchecked);
        session.isAdmin = true;
        session.userName = user;
        return authenticationOk;
    }
    const QString group = request.ampersandField(1);
    session.password = request.ampersandFieldsFrom(2);

    if (!Authentication::authenticate(session, command, user, session.password)) {
        AX_DEBUG("%s", badAuthentication.constData());
        return badAuthentication;
    }
    session.userName = user;
    AX_DEBUG("Admin group: %s", qUtf8Printable(group));
    QByteArray reply = authenticationOk;
    if (group.isEmpty()) {
        // Under strict privilege only a real admin group grants it.
        session.isAdmin = !Settings::requiresAdminGroup();
    } else if (Authentication::isInAdminGroup(session.userName, group)) {
        session.isAdmin = true;
    } else {
        // Still logged in, only without privilege.
        session.isAdmin = false;
        reply = notInAdminGroup;
    }
    AX_DEBUG("%s", reply.constData());
    return reply;
}

// A request answered before a login: its row, when its first fields are there.
const CommandRow *loginFreeRow(const Request &request)
{
    const CommandRow *row = CommandTable::find(request.field(0));
    if (!row || row->access != Access::NoLogin)
        return nullptr;
    for (int i = 1; i <= row->minParameters; ++i) {
        if (request.field(i).isEmpty())
            return nullptr;
    }
    return row;
}

QByteArray dispatch(ClientSession &session, const Request &request, const QByteArray &message)
{
    AXServerCommand command(&session);
    AX_DEBUG("Called command: %s", SecretMask::maskedForLog(message).constData());
    const QByteArray reply = (command.dispatch(request) + QLatin1Char('\n')).toUtf8();
    AX_DEBUG("Response: %s", SecretMask::maskedReply(message, reply).constData());
    return reply;
}

} // namespace

namespace RequestHandler {

QByteArray handle(ClientSession &session, const QByteArray &message)
{
    AX_DEBUG("Ready to read %d bytes", int(message.size()));
    AX_DEBUG("Question: %s", SecretMask::maskedForLog(message).constData());
    const Request request = Request::fromMessage(message);
    if (const CommandRow *row = loginFreeRow(request)) {
        if (!row->handler)
            return login(session, request.field(0), request);
        AXServerCommand command(&session);
        RequestRecord record(row, QString());
        return record.finish(row->handler(command, request)).toUtf8() + '\n';
    }
    if (session.userName.isNull())
        return notAuthenticated;
    return dispatch(session, request, message);
}

QByteArray handleByteArray(ClientSession &session, const QByteArray &message)
{
    // Refused unframed: a client that has not logged in gets the plain text.
    if (session.userName.isNull())
        return notAuthenticated;
    AXServerCommand command(&session);
    const Request request = Request::fromMessage(message);
    AX_DEBUG("Called command: %s", message.constData());
    const QByteArray payload = command.dispatchByteArray(request);
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
