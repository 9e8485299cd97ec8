#include "dispatch/axservercommand.h"

#include "app/settings.h"
#include "dispatch/bytearraycommands.h"
#include "dispatch/commandtable.h"
#include "protocol/authentication.h"

#include <QDateTime>
#include <QLocale>

AXServerCommand::AXServerCommand(ClientSession *session, MySqlInfo *db, const QString &userName,
                                 const QString &password, const QString &clientAddress, bool isAdmin)
    : userName(userName), password(password), clientAddress(clientAddress), db(db),
      isAdmin(isAdmin), session(session)
{
}

CommandParameters AXServerCommand::splitRequest(const QString &request, QString *name)
{
    const QString text = request.trimmed();
    const int question = text.indexOf(QLatin1Char('?'));
    if (question < 0) {
        *name = text;
        return {};
    }
    *name = text.left(question);
    const int next = text.indexOf(QLatin1Char('?'), question + 1);
    // Everything after a second "?" is dropped.
    const QString parameters = text.mid(question + 1, next < 0 ? -1 : next - question - 1);
    return parameters.split(QLatin1Char('&'));
}

qint64 AXServerCommand::toNumber(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? value : 0;
}

QString AXServerCommand::dispatch(const QString &request)
{
    QString name;
    const CommandParameters parameters = splitRequest(request, &name);
    bool countMismatch = false;
    if (const CommandRow *row = CommandTable::find(name)) {
        if (row->guard == CommandGuard::AdministratorOnly && !isAdmin)
            return QString();
        // The settings file is read only for the commands strict privilege concerns.
        const bool strict = row->strict != StrictAccess::Any && !isAdmin && Settings::requiresAdminGroup();
        if (strict && row->strict == StrictAccess::Administrator)
            return QString();
        const int count = parameters.size();
        const bool countAccepted = count >= row->minParameters && count <= row->maxParameters;
        if (strict && countAccepted && !isOwnUser(parameters.at(0)))
            return QString();
        // Without privilege an empty old password counts as a wrong parameter count.
        const bool guardHolds = row->guard != CommandGuard::OldPasswordOrAdministrator
                                || (countAccepted && (!parameters.at(1).isEmpty() || isAdmin));
        if (countAccepted && guardHolds)
            return row->handler(*this, parameters);
        countMismatch = true;
    }
    if (name == QLatin1String("quit"))
        return QStringLiteral("true");
    if (countMismatch)
        return formatCommandError(tr("Invalid number of parameters for command %1").arg(name));
    return formatCommandError(tr("Unknown command %1").arg(name));
}

bool AXServerCommand::isOwnUser(const QString &name) const
{
    // The catalogue compares user names without regard to case, and a login may carry a domain.
    return name.compare(userName, Qt::CaseInsensitive) == 0
           || name.compare(normalizeUserName(userName), Qt::CaseInsensitive) == 0;
}

QByteArray AXServerCommand::dispatchByteArray(const QString &request)
{
    return ByteArrayCommands::dispatch(*this, request);
}

QString formatCommandError(const QString &message)
{
    return QStringLiteral("Error: ") + message + QLatin1Char('(')
           + QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat)
           + QLatin1Char(')');
}
