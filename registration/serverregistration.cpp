#include "registration/serverregistration.h"
#include "base/log.h"

#include "base/peerconnection.h"
#include "base/settings.h"
#include "db/mysqlinfo.h"
#include "platform/confinement.h"
#include "registration/serverregistry.h"
#include "registration/tokengenerator.h"

#include <QSettings>
#include <QtDebug>

namespace {

const QString setServerInformationCommand = QStringLiteral("set_server_information");
const QString setServerTokenCommand = QStringLiteral("set_server_token");

bool isOk(const QString &reply)
{
    return reply == QLatin1String("Ok");
}

QString roleValue(const QSettings &settings, const ServerRegistry::ServerRole &role)
{
    return settings.value(Settings::roleKey(role.roleName), QStringLiteral("0")).toString();
}

} // namespace

ServerRegistration::ServerRegistration(Progress progress, BeforeNetwork beforeNetwork)
    : progress(std::move(progress)), beforeNetwork(std::move(beforeNetwork))
{
}

int ServerRegistration::run(const QString &adminUser, const QString &adminPassword)
{
    report(10, tr("Starting server information delivery..."));

    QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    const QString principalAddress =
        settings.value(Settings::PrincipalServerAddress, QStringLiteral("127.0.0.1")).toString();
    const int principalPort = settings.value(Settings::PrincipalServerPort, 4445).toInt();
    const int serverPort = settings.value(Settings::ServerPort, QStringLiteral("4445")).toString().toInt();
    // Only the integer 1 makes this the principal server here ("true" does not).
    const bool isPrincipal = settings.value(Settings::AmbrixServer, 0).toInt() == 1;

    QString token = settings.value(Settings::ServerToken, QString()).toString();
    const bool tokenIsNew = token.isEmpty();
    if (tokenIsNew) {
        token = TokenGenerator::newToken();
        settings.setValue(Settings::ServerToken, token);
        settings.sync();
        // A token we cannot keep would lock this server out of its own record later.
        if (settings.status() != QSettings::NoError) {
            AX_DEBUG("Cannot store the server token in %s", qUtf8Printable(settings.fileName()));
            return TokenRefused;
        }
        // The rewritten file is root's group's: the serving process must still read it.
        QString reason;
        if (Confinement::isRoot() && !Confinement::shareSettings(settings.fileName(), &reason))
            AX_DEBUG("%s", qUtf8Printable(reason));
    }

    if (beforeNetwork && !beforeNetwork())
        return RoleRefused;

    if (isPrincipal)
        return registerOwnRecord(settings, principalAddress, serverPort, token, tokenIsNew);
    return registerWithPrincipal(settings, principalAddress, principalPort, serverPort, token,
                                 adminUser, adminPassword);
}

int ServerRegistration::registerOwnRecord(QSettings &settings, const QString &principalAddress,
                                          int serverPort, const QString &token, bool tokenIsNew)
{
    const Settings::DatabaseParameters p = Settings::readDatabaseParameters();
    AX_DEBUG("Connecting to MySql database (server: %s:%d, user: %s, password: **********)...",
           qUtf8Printable(p.host), p.port, qUtf8Printable(p.user));
    MySqlInfo db(p.host, p.port);
    if (!db.openDatabase(p.user, p.password)) {
        AX_DEBUG("MySql server authentication failed");
        db.closeDatabase();
        return PrincipalUnreachable;
    }
    AX_DEBUG("MySql server authentication succesful");

    if (tokenIsNew)
        ServerRegistry::setServerToken(&db, principalAddress, serverPort, token);
    int result = Done;
    for (const ServerRegistry::ServerRole &role : ServerRegistry::Roles) {
        const QString value = roleValue(settings, role);
        const QString reply = ServerRegistry::setServerInformation(
            &db, token, QLatin1String(role.serverType), value, principalAddress);
        if (!isOk(reply)) {
            AX_DEBUG("Failed setting attribute %s with value %s", role.serverType, qUtf8Printable(value));
            AX_DEBUG("Reponse: %s", qUtf8Printable(reply));
            result = RoleRefused;
            break;
        }
    }
    db.closeDatabase();
    return result;
}

int ServerRegistration::registerWithPrincipal(QSettings &settings, const QString &principalAddress,
                                              int principalPort, int serverPort, const QString &token,
                                              const QString &adminUser, const QString &adminPassword)
{
    PeerConnection &principal = PeerConnection::shared();
    int result = Done;
    if (!principal.connect(principalAddress, principalPort)) {
        result = PrincipalUnreachable;
    } else {
        report(30, tr("Connected to server"));
        if (adminUser.isEmpty() || adminPassword.isEmpty()) {
            // Every role is sent even after a refusal; a refusal only sets the result.
            for (const ServerRegistry::ServerRole &role : ServerRegistry::Roles) {
                const QString reply = principal.requestWithParams(
                    setServerInformationCommand,
                    {token, QLatin1String(role.serverType), roleValue(settings, role)});
                if (!isOk(reply))
                    result = RoleRefused;
            }
            const QString reply = principal.requestWithParams(
                setServerInformationCommand, {token, QLatin1String(ServerRegistry::OsIdAttribute),
                                              QString::number(ServerRegistry::RegisteringOsId)});
            if (!isOk(reply))
                result = OsIdRefused;
        } else {
            if (!principal.login(adminUser, adminPassword, QStringLiteral("login"))) {
                principal.close();
                return LoginRefused;
            }
            const QString reply = principal.requestWithParams(
                setServerTokenCommand, {QString::number(serverPort), token});
            // No reply at all (lost connection, no privilege) is no success either.
            if (reply.isEmpty() || reply.startsWith(QLatin1String("Error")))
                result = TokenRefused;
        }
    }
    report(99, tr("Closing socket"));
    principal.close();
    report(100, tr("Done"));
    return result;
}

void ServerRegistration::report(int percent, const QString &text)
{
    progress(percent, text);
}
