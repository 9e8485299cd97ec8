#include "dispatch/bytearraycommands.h"

#include "app/log.h"
#include "catalogue/axapplicationcommand.h"
#include "dispatch/axservercommand.h"
#include "net/clientsession.h"

#include <QtDebug>
#include <QtEndian>

namespace {

using C = AXServerCommand;
using P = CommandParameters;

struct ByteArrayRow {
    const char *name;
    QByteArray (*handler)(C &c, const P &p);
};

// Every command takes exactly one parameter.
const ByteArrayRow byteArrayRows[] = {
    {"_byteArray_get_application_icon",
     [](C &c, const P &p) { return AXApplicationCommand::applicationIcon(C::toId(p[0]), c.db); }},
    {"_byteArray_get_application_group_icon",
     [](C &c, const P &p) { return AXApplicationCommand::applicationGroupIcon(C::toId(p[0]), c.db); }},
    {"_byteArray_get_user_logo",
     [](C &c, const P &p) { return AXApplicationCommand::userLogo(p[0], c.db); }},
};

} // namespace

namespace ByteArrayCommands {

QByteArray handle(ClientSession &session, const QByteArray &message)
{
    // Refused unframed: a client that has not logged in gets the plain text.
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    AXServerCommand command(&session, session.db.get(), session.userName, session.password,
                            session.clientAddress, session.isAdmin);
    const QString request = QString::fromUtf8(message);
    if (Log::debugEnabled())
        qDebug("Called command: %s", qUtf8Printable(request));
    const QByteArray payload = command.dispatchByteArray(request);

    QByteArray reply(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), reply.data());
    reply += payload;
    qDebug("Dispatching binary array message of %d bytes", int(payload.size()));
    return reply;
}

QByteArray dispatch(AXServerCommand &command, const QString &request)
{
    QString name;
    const CommandParameters parameters = AXServerCommand::splitRequest(request, &name);
    for (const ByteArrayRow &row : byteArrayRows) {
        if (name != QLatin1String(row.name))
            continue;
        if (parameters.size() == 1)
            return row.handler(command, parameters);
        return formatCommandError(AXServerCommand::tr("Invalid number of parameters for ByteArray command %1")
                                      .arg(name))
            .toUtf8();
    }
    return formatCommandError(AXServerCommand::tr("Unknown ByteArray command %1").arg(name)).toUtf8();
}

} // namespace ByteArrayCommands
