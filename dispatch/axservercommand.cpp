#include "dispatch/axservercommand.h"

#include "app/settings.h"
#include "dispatch/commandtable.h"
#include "dispatch/sessionstate.h"

#include <QDateTime>
#include <QLocale>

AXServerCommand::AXServerCommand(SessionState *session)
    : userName(session->userName), password(session->password), clientAddress(session->clientAddress),
      db(session->db.get()), isAdmin(session->isAdmin), session(session)
{
}

bool AXServerCommand::isOwnUser(const QString &name) const
{
    // The catalogue compares user names without regard to case; the session holds the login's
    // user part, and a malformed name is nobody's.
    const QString user = normalizeUserName(name);
    return !user.isEmpty() && user.compare(userName, Qt::CaseInsensitive) == 0;
}

QString AXServerCommand::dispatch(const Request &request)
{
    const QString &name = request.name();
    const CommandRow *row = CommandTable::find(name);
    // Requests answered before a login are not commands once logged in.
    if (!row || row->access == Access::NoLogin)
        return formatCommandError(tr("Unknown command %1").arg(name));
    if (row->access == Access::Administrator && !isAdmin)
        return QString();
    // The settings file is read only for the commands strict privilege concerns.
    const bool strict = row->strict != StrictAccess::Any && !isAdmin && Settings::requiresAdminGroup();
    if (strict && row->strict == StrictAccess::Administrator)
        return QString();
    const int count = request.size();
    bool accepted = count >= row->minParameters && count <= row->maxParameters;
    // Without privilege an empty old password counts as a wrong parameter count.
    if (accepted && row->access == Access::OldPasswordOrAdministrator)
        accepted = !request[1].isEmpty() || isAdmin;
    if (!accepted)
        return formatCommandError(tr("Invalid number of parameters for command %1").arg(name));
    if (strict && !isOwnUser(request[0]))
        return QString();
    return row->handler(*this, request);
}

QByteArray AXServerCommand::dispatchByteArray(const Request &request)
{
    const QString &name = request.name();
    const ByteArrayRow *row = CommandTable::findByteArray(name);
    if (!row)
        return formatCommandError(tr("Unknown ByteArray command %1").arg(name)).toUtf8();
    if (request.size() < row->minParameters || request.size() > row->maxParameters)
        return formatCommandError(tr("Invalid number of parameters for ByteArray command %1").arg(name)).toUtf8();
    return row->handler(*this, request);
}

QString formatCommandError(const QString &message)
{
    return QStringLiteral("Error: ") + message + QLatin1Char('(')
           + QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat)
           + QLatin1Char(')');
}
