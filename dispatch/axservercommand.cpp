#include "dispatch/axservercommand.h"

#include "base/settings.h"
#include "dispatch/commandtable.h"
#include "dispatch/requestrecord.h"
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

namespace {

struct CommandTexts {
    static QString unknown() { return AXServerCommand::tr("Unknown command %1"); }
    static QString wrongCount() { return AXServerCommand::tr("Invalid number of parameters for command %1"); }
    static QString reply(const QString &text) { return text; }
};

struct ByteArrayTexts {
    static QString unknown() { return AXServerCommand::tr("Unknown ByteArray command %1"); }
    static QString wrongCount() { return AXServerCommand::tr("Invalid number of parameters for ByteArray command %1"); }
    static QByteArray reply(const QString &text) { return text.toUtf8(); }
};

} // namespace

// Both tables run here, every column of a row honoured; each request is counted with its outcome.
template <typename Result, typename Texts>
Result AXServerCommand::run(const Request &request, const CommandRowOf<Result> *row)
{
    using Outcome = ServerMetrics::Outcome;
    RequestRecord record(row, userName);
    const auto done = [&record](Outcome outcome, const Result &reply) {
        record.outcome = outcome;
        return record.finish(reply);
    };
    const QString &name = request.name();
    if (!row)
        return done(Outcome::UnknownCommand, Texts::reply(formatCommandError(Texts::unknown().arg(name))));
    // Its positional fields were checked when the row was chosen.
    if (row->access == Access::NoLogin)
        return done(Outcome::Ok, row->handler(*this, request));
    if (row->access == Access::Administrator && !isAdmin)
        return done(Outcome::Refused, Result());
    // The settings file is read only for the commands strict privilege concerns.
    const bool strict = row->strict != StrictAccess::Any && !isAdmin && Settings::requiresAdminGroup();
    if (strict && row->strict == StrictAccess::Administrator)
        return done(Outcome::Refused, Result());
    const int count = request.size();
    bool accepted = count >= row->minParameters && count <= row->maxParameters;
    // Without privilege an empty old password counts as a wrong parameter count.
    if (accepted && row->access == Access::OldPasswordOrAdministrator)
        accepted = !request[1].isEmpty() || isAdmin;
    if (!accepted)
        return done(Outcome::BadParameters, Texts::reply(formatCommandError(Texts::wrongCount().arg(name))));
    if (strict && !isOwnUser(request[0]))
        return done(Outcome::Refused, Result());
    return done(Outcome::Ok, row->handler(*this, request));
}

QString AXServerCommand::dispatch(const Request &request, const CommandRow *row)
{
    return run<QString, CommandTexts>(request, row);
}

QByteArray AXServerCommand::dispatchByteArray(const Request &request, const ByteArrayRow *row)
{
    return run<QByteArray, ByteArrayTexts>(request, row);
}

QString formatCommandError(const QString &message)
{
    return QStringLiteral("Error: ") + message + QLatin1Char('(')
           + QLocale::system().toString(QDateTime::currentDateTime(), QLocale::ShortFormat)
           + QLatin1Char(')');
}
