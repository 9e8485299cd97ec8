#include "privileged/sessions.h"

#include "privileged/logindsessions.h"
#include "privileged/utmpsessions.h"

#include <sys/stat.h>

namespace {

// Asked at every call: logind may start or stop while the server runs.
const SessionSource &sessionSource()
{
    static const LogindSessions logind;
    static const UtmpSessions utmp;
    return LogindSessions::isRunning() ? static_cast<const SessionSource &>(logind) : utmp;
}

qint64 holderOf(const Session &session)
{
    if (session.uid >= 0)
        return session.uid;
    struct stat info;
    if (session.id <= 0 || ::stat(QStringLiteral("/proc/%1").arg(session.id).toLatin1().constData(), &info) != 0)
        return -1;
    return info.st_uid;
}

} // namespace

namespace Sessions {

Session userSession(const QString &userName, QString *diagnostics)
{
    Session found;
    const QList<Session> sessions = sessionSource().list();
    for (const Session &session : sessions) {
        diagnostics->append(QStringLiteral("SessionId: %1, data: '%2', username: '%3'\n")
                                .arg(session.id)
                                .arg(session.userName, userName));
        // A later match replaces an earlier one.
        if (session.userName.toLower() == userName.toLower())
            found = session;
    }
    return found;
}

std::optional<AccountDatabase::User> ordinaryHolder(const Session &session, const QString &userName)
{
    const qint64 holder = holderOf(session);
    if (holder < 0 || AccountDatabase::isSystemUserId(quint32(holder)))
        return std::nullopt;
    const std::optional<AccountDatabase::User> account = AccountDatabase::findUserById(quint32(holder));
    if (!account || account->name.toLower() != userName.toLower())
        return std::nullopt;
    return account;
}

void endUserSession(const QString &userName)
{
    const SessionSource &source = sessionSource();
    const QList<Session> sessions = source.list();
    for (const Session &session : sessions) {
        if (session.userName.toLower() != userName.toLower())
            continue;
        if (ordinaryHolder(session, session.userName))
            source.logoff(session);
        break;
    }
}

} // namespace Sessions
