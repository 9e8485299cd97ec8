#include "protocol/servercontrol.h"

#include "base/log.h"
#include "base/servermetrics.h"
#include "base/settings.h"
#include "dispatch/replies.h"
#include "dispatch/request.h"
#include "dispatch/sessionstate.h"
#include "protocol/connection.h"
#include "protocol/usersocketregistry.h"

namespace ServerControl {

namespace {

// A silent control client, or one that stopped reading, must not hold the sender for ever.
constexpr int answerWaitMsecs = 30000;

// Empty when the registration is accepted.
QByteArray registrationError(const SessionState &session, const Request &asReceived, QString *user)
{
    const Registration registration = parseRegistration(asReceived);
    if (registration.parameters.size() != 2) {
        return QStringLiteral("Error: bad parameters in command set_remote_server: '%1'")
            .arg(registration.parameters.join(QLatin1Char(',')))
            .toUtf8();
    }
    const QString &address = registration.address;
    *user = registration.user;
    if (user->isEmpty())
        return QByteArrayLiteral("Error: empy user name");
    // Kept under the user part, as logins know their user; a malformed name stays as given and
    // so matches no login.
    const QString userPart = normalizeUserName(*user);
    // Under strict privilege a control channel is opened only by its own user's login: anybody
    // else would receive what is relayed to that user and answer in its place.
    if (Settings::requiresAdminGroup() && (userPart.isEmpty() || session.userName.simplified() != userPart))
        return QByteArray(Reply::NotAuthenticated);
    if (!userPart.isEmpty())
        *user = userPart;
    if (address.simplified() != session.clientAddress.simplified()) {
        return QStringLiteral("Error: address parameter '%1' differs from client address '%2'")
            .arg(address, session.clientAddress)
            .toUtf8();
    }
    return QByteArray();
}

bool closeChannel(const SessionState &session, UserSocketRegistry &registry, const Request &, QByteArray *reply)
{
    if (!registry.remove(session.userName))
        return false;
    *reply = Reply::True;
    return true;
}

bool relay(const SessionState &session, UserSocketRegistry &registry, const Request &request, QByteArray *reply)
{
    const std::shared_ptr<Connection> connection = registry.find(session.userName);
    if (!connection)
        return false;
    *reply = connection->relay(request.message(), answerWaitMsecs);
    ServerMetrics::instance().relays.add();
    // A control client that stopped reading is given up, like one whose connection ended.
    if (connection->isDropped()) {
        ServerMetrics::instance().droppedControlClients.add();
        registry.removeConnection(connection.get());
    }
    return true;
}

using Answer = bool (*)(const SessionState &, UserSocketRegistry &, const Request &, QByteArray *);

// Control messages answered here, by their whole text (whitespace around it aside); any other is
// relayed. False: the user has no control channel.
struct ControlMessage {
    const char *text;
    Answer answer;
};
const ControlMessage answeredHere[] = {
    {"_serverCommand_close", closeChannel},
};

Answer answerFor(const Request &request)
{
    for (const ControlMessage &control : answeredHere) {
        if (request.text() == QLatin1String(control.text))
            return control.answer;
    }
    return relay;
}

} // namespace

Registration parseRegistration(const Request &asReceived)
{
    // The address's whitespace is collapsed only when it is compared.
    Registration registration;
    registration.parameters = asReceived.parameters();
    if (registration.parameters.size() == 2) {
        registration.address = registration.parameters.at(0);
        registration.user = registration.parameters.at(1).simplified();
    }
    return registration;
}

void registerRemoteServer(const SessionState &session, const std::shared_ptr<Connection> &connection,
                          UserSocketRegistry &registry, const Request &asReceived)
{
    QString user;
    const QByteArray error = registrationError(session, asReceived, &user);
    if (!error.isEmpty()) {
        Log::error(QString::fromUtf8(error));
        connection->sendReply(error);
        return;
    }
    const QByteArray ok(Reply::Ok);
    Log::info(QString::fromUtf8(ok));
    // Sharing starts before the entry exists, so no relay ever meets an unguarded reader; and the
    // stream is held until "Ok" is out, so no relayed message can come before it.
    connection->startSharing();
    const ExclusiveUse exclusive(*connection);
    registry.add(user, connection);
    connection->sendReply(ok);
}

QByteArray handle(const SessionState &session, UserSocketRegistry &registry, const Request &request)
{
    if (session.userName.isNull())
        return QByteArray(Reply::NotAuthenticated);
    QByteArray reply;
    if (answerFor(request)(session, registry, request, &reply))
        return reply;
    return QStringLiteral("Error: No defined socket for user '%1'. Users with socket: '%2'")
        .arg(session.userName, registry.userNames().join(QLatin1Char(',')))
        .toUtf8();
}

} // namespace ServerControl
