#include "dispatch/authentication.h"

#include "accounts/accountstore.h"
#include "accounts/axusercommand.h"
#include "accounts/loginfailurelimiter.h"
#include "base/log.h"
#include "base/peerconnection.h"
#include "base/servermetrics.h"
#include "base/settings.h"
#include "db/mysqlinfo.h"
#include "dispatch/replies.h"
#include "dispatch/request.h"
#include "dispatch/sessionstate.h"
#include "platform/privileged.h"

#include <QSettings>
#include <QtDebug>

namespace {

bool byDatabaseToken(SessionState &session, const QString &user, const QString &password)
{
    AX_DEBUG("Trying MySql token authentication...");
    const QStringList tokens = AXUserCommand::userTokens(session.db.get(), user);
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
LoginMethod acceptingMethod(SessionState &session, bool mayAskPrincipal, const QString &user, const QString &password)
{
    if (user.isEmpty() || password.isEmpty())
        return LoginMethod::None;
    // Decided now, for this attempt: a database that is back serves the next login.
    session.databaseOpen = session.db->isOpen();
    AX_DEBUG(session.databaseOpen ? "MySql server authentication succesful" : "MySql server authentication failed");
    if (session.databaseOpen) {
        if (byDatabaseToken(session, user, password))
            return LoginMethod::UserToken;
    } else if (mayAskPrincipal && !isPrincipalServer()) {
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

QString login(SessionState &session, const Request &request, bool mayAskPrincipal)
{
    // Logged with the line end the reply goes out with.
    const auto refused = [] {
        AX_DEBUG("%s\n", Reply::BadAuthentication);
        return QString::fromLatin1(Reply::BadAuthentication);
    };
    // One reading of the name for every method and check, and for the session: a name that
    // could be read two ways is tried by none.
    if (!isValidUserName(request.field(1))) {
        ServerMetrics::instance().recordLogin(ServerMetrics::LoginMethod::None);
        return refused();
    }
    const QString user = normalizeUserName(request.field(1));
    if (qgetenv("DEBUG_NOAUTH") == "1") {
        ServerMetrics::instance().recordLogin(ServerMetrics::LoginMethod::Unchecked);
        session.isAdmin = true;
        session.userName = user;
        return QString::fromLatin1(Reply::AuthenticationOk);
    }
    const QString group = request.ampersandField(1);
    session.password = request.ampersandFieldsFrom(2);

    if (!authenticate(session, mayAskPrincipal, user, session.password))
        return refused();
    session.userName = user;
    AX_DEBUG("Admin group: %s", qUtf8Printable(group));
    const char *reply = Reply::AuthenticationOk;
    if (group.isEmpty()) {
        // Under strict privilege only a real admin group grants it.
        session.isAdmin = !Settings::requiresAdminGroup();
    } else if (isInAdminGroup(session.userName, group)) {
        session.isAdmin = true;
    } else {
        // Still logged in, only without privilege.
        session.isAdmin = false;
        reply = Reply::NotInAdminGroup;
    }
    AX_DEBUG("%s\n", reply);
    return QString::fromLatin1(reply);
}

bool authenticate(SessionState &session, bool mayAskPrincipal, const QString &user, const QString &password)
{
    const LoginMethod method = acceptingMethod(session, mayAskPrincipal, user, password);
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
