#include "protocol/authentication.h"
#include "app/log.h"

#include "accounts/accountstore.h"
#include "accounts/axusercommand.h"
#include "accounts/loginfailurelimiter.h"
#include "app/servermetrics.h"
#include "app/settings.h"
#include "db/mysqlinfo.h"
#include "protocol/clientsession.h"
#include "net/peerconnection.h"
#include "platform/privileged.h"

#include <QSettings>
#include <QtDebug>

namespace {

bool byDatabaseToken(ClientSession &session, const QString &user, const QString &password)
{
    AX_DEBUG("Trying MySql token authentication...");
    const QStringList tokens = session.db->selectColumn(
        QStringLiteral("ax_user"), QStringLiteral("token"),
        QStringLiteral("username=") + MySqlInfo::quote(user));
    AX_DEBUG("Checking token for user %s (%d values)", qUtf8Printable(user), int(tokens.size()));
    const bool ok = tokens.contains(password);
    AX_DEBUG(ok ? "MySql authentication succesful" : "MySql authentication failed");
    return ok;
}

bool byPrincipalServer(const QString &user, const QString &password)
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    const QString host = settings.value(Settings::PrincipalServerAddress, QString()).toString();
    const int port = settings.value(Settings::PrincipalServerPort, 4445).toInt();
    const bool ok = PeerConnection::shared().connectAndLogin(host, port, user, password,
                                                             QStringLiteral("validate"));
    AX_DEBUG(ok ? "Authentication against principal server succesful"
              : "Authentication against principal server failed");
    return ok;
}

bool isPrincipalServer()
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    return settings.value(Settings::AmbrixServer, false).toBool();
}

bool byServerToken(const QString &password)
{
    AX_DEBUG("Trying server token based authentication...");
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    const QString token = settings.value(Settings::ServerToken, QString()).toString();
    const bool ok = token == password;
    if (ok)
        AX_DEBUG("Server token authentication succesful");
    return ok;
}

using LoginMethod = ServerMetrics::LoginMethod;

// The first method that accepts the password; None when none does.
LoginMethod acceptingMethod(ClientSession &session, const QString &command, const QString &user,
                            const QString &password)
{
    if (user.isEmpty() || password.isEmpty())
        return LoginMethod::None;
    // Decided now, for this attempt: a database that is back serves the next login.
    session.databaseOpen = session.db->isOpen();
    AX_DEBUG(session.databaseOpen ? "MySql server authentication succesful" : "MySql server authentication failed");
    if (session.databaseOpen) {
        if (byDatabaseToken(session, user, password))
            return LoginMethod::UserToken;
    } else if (command != QLatin1String("validate") && !isPrincipalServer()) {
        // A validate request is never passed on: peers validate against us, not through us.
        if (byPrincipalServer(user, password))
            return LoginMethod::PrincipalServer;
    }
    if (byServerToken(password))
        return LoginMethod::ServerToken;
    AX_DEBUG("Trying Windows authentication...");
    // Host passwords can be guessed, tokens cannot: only this step counts failures. With
    // LOGONSERVER naming a domain controller, a domain user's password counts too.
    const bool ok = LoginFailureLimiter::instance().check(session.clientAddress, user, [&] {
        return Privileged::checkPassword(user, password)
            || AccountStore::accountsOf(qEnvironmentVariable("LOGONSERVER"))->checkPassword(user, password);
    });
    return ok ? LoginMethod::HostPassword : LoginMethod::None;
}

} // namespace

namespace Authentication {

bool authenticate(ClientSession &session, const QString &command, const QString &user,
                  const QString &password)
{
    const LoginMethod method = acceptingMethod(session, command, user, password);
    ServerMetrics::instance().recordLogin(method);
    return method != LoginMethod::None;
}

bool isInAdminGroup(const QString &user, const QString &group)
{
    if (group.isEmpty())
        return false;
    return AXUserCommand::isUserInGroup(user, group);
}

} // namespace Authentication
