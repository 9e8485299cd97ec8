#include "storage/axstoragecommand.h"
#include "base/log.h"

#include "base/peerconnection.h"
#include "db/mysqlinfo.h"
#include "storage/cloudprogram.h"
#include "storage/ownaddressmemo.h"

#include <QtDebug>

namespace {

const AXStorageCommand::Forwarded runsHere{true, QString()};

AXStorageCommand::Forwarded answeredBy(const QString &reply)
{
    return {false, reply};
}

const QString ok = QStringLiteral("Ok");
const QStringList cloudProviders = {QStringLiteral("dropbox"), QStringLiteral("googledrive")};
constexpr int noServer = -1;
constexpr int defaultPort = 4445;

// The first value that reads as an integer; -1, like no value at all, names no server.
int firstServerId(const QStringList &values)
{
    for (const QString &value : values) {
        bool isNumber = false;
        const int id = value.toInt(&isNumber);
        if (isNumber)
            return id;
    }
    return noServer;
}

QList<QStringList> everyProvider(const QString &user, const QString &action)
{
    QList<QStringList> runs;
    for (const QString &provider : cloudProviders)
        runs.append({user, provider, action});
    return runs;
}

QString hostOf(const QString &location)
{
    return location.section(QLatin1Char(':'), 0, 0);
}

} // namespace

AXStorageCommand::AXStorageCommand() = default;

AXStorageCommand::~AXStorageCommand()
{
    // The connection ended with a configuration pending: the profiles server is told the
    // conversation is over.
    if (profilesPeer)
        profilesPeer->close();
}

QString AXStorageCommand::profilesServerLocation(const QString &user, MySqlInfo *db)
{
    int serverId = firstServerId(db->selectColumn(
        QStringLiteral("ax_usergroup,ax_usergroup_users"), QStringLiteral("profile_server_id"),
        QStringLiteral("ax_usergroup_users.usergroup_id=ax_usergroup.id AND ax_usergroup_users.user_id=")
            + MySqlInfo::quote(user)));
    if (serverId == noServer) {
        AX_DEBUG("Trying from parameters...");
        serverId = firstServerId(db->selectColumn(QStringLiteral("ax_parameters"),
                                                  QStringLiteral("profile_server_id"), QStringLiteral("true")));
    }
    if (serverId == noServer) {
        AX_DEBUG("No server found!");
        return QString();
    }
    const QString condition = QStringLiteral("id=") + QString::number(serverId);
    const QStringList addresses = db->selectColumn(QStringLiteral("ax_server"), QStringLiteral("address"), condition);
    const QStringList ports = db->selectColumn(QStringLiteral("ax_server"), QStringLiteral("port"), condition);
    if (addresses.isEmpty() || ports.isEmpty()) {
        AX_DEBUG("Cannot parse address/port");
        return QString();
    }
    return addresses.first().simplified() + QLatin1Char(':') + ports.first().simplified();
}

QString AXStorageCommand::ownAddress(MySqlInfo *db)
{
    return OwnAddressMemo::instance().address(db);
}

std::unique_ptr<PeerConnection> AXStorageCommand::connectProfilesServer(std::unique_ptr<PeerConnection> existing,
                                                                        const QString &user, MySqlInfo *db)
{
    if (existing)
        return existing;
    const QString location = profilesServerLocation(user, db);
    if (location.isEmpty()) {
        AX_DEBUG("Error: cannot find profiles server address");
        return nullptr;
    }
    const QString host = hostOf(location);
    bool isNumber = false;
    int port = location.section(QLatin1Char(':'), 1).toInt(&isNumber);
    if (!isNumber)
        port = defaultPort;
    auto peer = std::make_unique<PeerConnection>();
    if (!peer->connect(host, port)) {
        peer->close();
        AX_DEBUG("Error: cannot connect to profiles server");
        return nullptr;
    }
    const QStringList tokens = db->selectColumn(QStringLiteral("ax_server"), QStringLiteral("token"),
                                                QStringLiteral("address=") + MySqlInfo::quote(host));
    // The token is a credential: its presence is all the debug channel gets to see.
    AX_DEBUG("TokenList.count(): %d, Token '%s' for profiles server '%s'", int(tokens.size()),
           tokens.value(0).isEmpty() ? "" : "**********", qUtf8Printable(host));
    // On the profiles server this passes by its own server token, and the request then runs
    // there as the same user.
    if (!peer->login(user, tokens.value(0), QStringLiteral("login"))) {
        AX_DEBUG("Error: cannot authenticate server token on profiles server");
        peer->close();
        return nullptr;
    }
    AX_DEBUG("Authentication successful");
    return peer;
}

AXStorageCommand::Forwarded AXStorageCommand::forwardOnce(const QString &user, MySqlInfo *db,
                                                          const QString &command, const QStringList &parameters)
{
    if (!db->isOpen())
        return runsHere;
    const QString host = hostOf(profilesServerLocation(user, db));
    if (host.isEmpty())
        return answeredBy(tr("Error: cannot find profiles server."));
    if (ownAddress(db).simplified() == host.simplified())
        return runsHere;
    std::unique_ptr<PeerConnection> peer = connectProfilesServer(nullptr, user, db);
    AX_DEBUG("Got remoteProfileClient");
    if (!peer)
        return answeredBy(tr("Error: cannot connect to profiles server."));
    AX_DEBUG("Sending message '%s' to remote profile server",
           qUtf8Printable(QStringLiteral("%1?%2").arg(command, parameters.join(QLatin1Char('&')))));
    const QString reply = peer->requestWithParams(command, parameters);
    AX_DEBUG("ret: '%s'", qUtf8Printable(reply));
    peer->close();
    return answeredBy(reply);
}

AXStorageCommand::Forwarded AXStorageCommand::forward(const QString &user, MySqlInfo *db, const QString &command,
                                                      const QStringList &parameters)
{
    if (!db->isOpen()) {
        AX_DEBUG("MySQL not connected, assuming the connection is local");
        return runsHere;
    }
    const QString host = hostOf(profilesServerLocation(user, db));
    AX_DEBUG("profileServer: '%s'", qUtf8Printable(host));
    if (host.isEmpty())
        return answeredBy(tr("Error: cannot find profiles server."));
    const QString own = ownAddress(db).simplified();
    AX_DEBUG("Comparing this server '%s' with profiles server '%s'", qUtf8Printable(own),
           qUtf8Printable(host.simplified()));
    if (own == host.simplified())
        return runsHere;
    profilesPeer = connectProfilesServer(std::move(profilesPeer), user, db);
    if (!profilesPeer)
        return answeredBy(tr("Error: cannot connect to profiles server."));
    return answeredBy(profilesPeer->requestWithParams(command, parameters));
}

QStringList AXStorageCommand::getCloudDrives(const QString &command, const QString &user, const QString &provider,
                                             MySqlInfo *db)
{
    const Forwarded forwarded = forwardOnce(user, db, command, {provider});
    if (!forwarded.isLocal) {
        AX_DEBUG("Returning remote response...");
        return forwarded.reply.trimmed().split(QLatin1Char(','));
    }
    AX_DEBUG("Returning local response...");
    if (!CloudProgram::isInstalled())
        return {};
    const QString output = QString::fromUtf8(
        CloudProgram::run({user, provider, QStringLiteral("list")}).standardOutput);
    if (output.simplified().isEmpty())
        return {};
    return output.split(QLatin1Char(','));
}

QString AXStorageCommand::mountCloudDrive(const QString &command, const QString &user, const QString &provider,
                                          const QString &extra, MySqlInfo *db)
{
    return runCloudProgram(user, db, command, {provider, extra},
                           {{user, provider, QStringLiteral("mount"), extra}}, CloudProgram::Waits::StartThenFinish,
                           tr("Error: something failed mounting cloud drive for %1").arg(user));
}

QString AXStorageCommand::mountCloudDrives(const QString &command, const QString &user, MySqlInfo *db)
{
    return runCloudProgram(user, db, command, {}, everyProvider(user, QStringLiteral("start")),
                           CloudProgram::Waits::StartThenFinish,
                           tr("Error: something failed mounting cloud for user %1").arg(user));
}

QString AXStorageCommand::umountCloudDrives(const QString &command, const QString &user, MySqlInfo *db)
{
    return runCloudProgram(user, db, command, {}, everyProvider(user, QStringLiteral("stop")),
                           CloudProgram::Waits::StartThenFinish,
                           tr("Error: something failed umounting cloud for %1").arg(user));
}

QString AXStorageCommand::removeCloudDrive(const QString &command, const QString &provider, const QString &user,
                                           const QString &extra, MySqlInfo *db)
{
    return runCloudProgram(user, db, command, {provider, extra},
                           {{user, provider, QStringLiteral("unconfigure"), extra}}, CloudProgram::Waits::FinishOnly,
                           tr("Error: something happened removing cloud drive account"));
}

QString AXStorageCommand::runCloudProgram(const QString &user, MySqlInfo *db, const QString &command,
                                          const QStringList &forwardedParameters, const QList<QStringList> &runs,
                                          CloudProgram::Waits waits, const QString &failure)
{
    const Forwarded forwarded = forwardOnce(user, db, command, forwardedParameters);
    if (!forwarded.isLocal)
        return forwarded.reply;
    if (!CloudProgram::isInstalled())
        return tr("Error: ambrix-cloudfs not installed on this system");
    bool allSucceeded = true;
    // Every run is made even after a failure: one provider failing must not keep the others
    // unmounted (or mounted).
    for (const QStringList &arguments : runs)
        allSucceeded = CloudProgram::run(arguments, waits).succeeded && allSucceeded;
    return allSucceeded ? ok : failure;
}

QString AXStorageCommand::setCloudDrive(const QString &provider, const QString &user,
                                        const QString &extra, MySqlInfo *db)
{
    // No account-creation program is started here; the configuration stays pending until it is
    // finished or cancelled.
    Q_UNUSED(provider)
    Q_UNUSED(user)
    Q_UNUSED(extra)
    Q_UNUSED(db)
    return tr("Error: currently only linux supported for cloud drives");
}

// Here no account-creation program is ever started ("set_cloud_drive" is refused), so a
// configuration that runs locally has nothing to finish or cancel.
QString AXStorageCommand::finishSetCloudDrive(const QString &command, const QString &code, const QString &user,
                                              MySqlInfo *db)
{
    const Forwarded forwarded = forward(user, db, command, {code});
    if (!forwarded.isLocal)
        return forwarded.reply;
    return tr("Error: The process of creating account didn't start.");
}

QString AXStorageCommand::cancelSetCloudDrive(const QString &command, const QString &user, MySqlInfo *db)
{
    const Forwarded forwarded = forward(user, db, command, {});
    if (!forwarded.isLocal)
        return forwarded.reply;
    return tr("Error: No process to cancel");
}

QString AXStorageCommand::getRedirectDrives(const QString &clientAddress, const QString &user, MySqlInfo *db)
{
    const QString quotedUser = MySqlInfo::quote(user);
    // Server rules first, then the user's, then those of the user's groups; duplicates are kept.
    QStringList rules = db->selectColumn(
        QStringLiteral("ax_server,ax_storageredirection"),
        QStringLiteral("CONCAT(ax_storageredirection.server_path,'=',ax_storageredirection.client_path)"),
        QStringLiteral("ax_server.id=ax_storageredirection.server_id AND ax_server.address=")
            + MySqlInfo::quote(clientAddress));
    rules += db->selectColumn(QStringLiteral("ax_userstorageredirection"),
                              QStringLiteral("CONCAT(server_path,'=',client_path)"),
                              QStringLiteral("user_id=") + quotedUser);
    rules += db->selectColumn(
        QStringLiteral("ax_usergroup_users,ax_groupstorageredirection"),
        QStringLiteral("CONCAT(ax_groupstorageredirection.server_path,'=',ax_groupstorageredirection.client_path)"),
        QStringLiteral("ax_usergroup_users.user_id=") + quotedUser
            + QStringLiteral(" AND ax_usergroup_users.usergroup_id=ax_groupstorageredirection.group_id"));
    return rules.join(QLatin1Char(','));
}

QString AXStorageCommand::getProfilesPath(MySqlInfo *db)
{
    const QStringList paths = db->selectColumn(QStringLiteral("ax_parameters"), QStringLiteral("profile_path"),
                                               QStringLiteral("true"));
    for (const QString &path : paths) {
        if (!path.isEmpty())
            return path;
    }
    AX_DEBUG("No server path found!");
    return QString();
}
