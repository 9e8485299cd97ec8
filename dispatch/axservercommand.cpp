#include "dispatch/axservercommand.h"

#include "app/settings.h"
#include "dispatch/commandtable.h"
#include "dispatch/requestrecord.h"
#include "dispatch/sessionstate.h"

#include <QDateTime>
#include <QLocale>

namespace {

using Outcome = ServerMetrics::Outcome;

QString answer(AXServerCommand &c, const CommandRow *row, const Request &request, Outcome *outcome)
{
    const QString &name = request.name();
    // Requests answered before a login are not commands once logged in.
    if (!row || row->access == Access::NoLogin) {
        *outcome = Outcome::UnknownCommand;
        return formatCommandError(AXServerCommand::tr("Unknown command %1").arg(name));
    }
    *outcome = Outcome::Refused;
    if (row->access == Access::Administrator && !c.isAdmin)
        return QString();
    // The settings file is read only for the commands strict privilege concerns.
    const bool strict = row->strict != StrictAccess::Any && !c.isAdmin && Settings::requiresAdminGroup();
    if (strict && row->strict == StrictAccess::Administrator)
        return QString();
    const int count = request.size();
    bool accepted = count >= row->minParameters && count <= row->maxParameters;
    // Without privilege an empty old password counts as a wrong parameter count.
    if (accepted && row->access == Access::OldPasswordOrAdministrator)
        accepted = !request[1].isEmpty() || c.isAdmin;
    if (!accepted) {
        *outcome = Outcome::BadParameters;
        return formatCommandError(AXServerCommand::tr("Invalid number of parameters for command %1").arg(name));
    }
    if (strict && !c.isOwnUser(request[0]))
        return QString();
    *outcome = Outcome::Ok;
    return row->handler(c, request);
}

} // namespace

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
    const CommandRow *row = CommandTable::find(request.name());
    RequestRecord record(row, userName);
    return record.finish(answer(*this, row, request, &record.outcome));
}

QByteArray AXServerCommand::dispatchByteArray(const Request &request)
{
    const QString &name = request.name();
    const ByteArrayRow *row = CommandTable::findByteArray(name);
    RequestRecord record(row, userName);
    if (!row) {
        record.outcome = Outcome::UnknownCommand;
        return record.finish(formatCommandError(tr("Unknown ByteArray command %1").arg(name)).toUtf8());
    }
    if (request.size() < row->minParameters || request.size() > row->maxParameters) {
        record.outcome = Outcome::BadParameters;
        return record.finish(
            formatCommandError(tr("Invalid number of parameters for ByteArray command %1").arg(name)).toUtf8());
    }
    record.outcome = Outcome::Ok;
    return record.finish(row->handler(*this, request));
}

QString formatCommandError(const QString &message)
{
    return QStringLiteral("Error: ") + message + QLatin1Char('(')
           + QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat)
           + QLatin1Char(')');
}
