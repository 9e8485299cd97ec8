#include "protocol/servercontrol.h"

#include "app/log.h"
#include "app/servermetrics.h"
#include "app/settings.h"
#include "dispatch/request.h"
#include "protocol/clientsession.h"
#include "protocol/connection.h"
#include "protocol/usersocketregistry.h"

namespace ServerControl {

namespace {

// A silent control client, or one that stopped reading, must not hold the sender for ever.
constexpr int answerWaitMsecs = 30000;

// Empty when the registration is accepted.
QByteArray registrationError(ClientSession &session, const QString &text, QString *user)
{
    const Registration registration = parseRegistration(text);
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
        return QByteArrayLiteral("Not authenticated");
    if (!userPart.isEmpty())
        *user = userPart;
    if (address.simplified() != session.clientAddress.simplified()) {
        return QStringLiteral("Error: address parameter '%1' differs from client address '%2'")
            .arg(address, session.clientAddress)
            .toUtf8();
    }
    return QByteArray();
}

} // namespace

Registration parseRegistration(const QString &message)
{
    // As it arrived, not trimmed: the address's whitespace is collapsed only when it is compared.
    const int question = message.indexOf(QLatin1Char('?'));
    const int next = message.indexOf(QLatin1Char('?'), question + 1);
    Registration registration;
    registration.parameters = message.mid(question + 1, next < 0 ? -1 : next - question - 1).split(QLatin1Char('&'));
    if (registration.parameters.size() == 2) {
        registration.address = registration.parameters.at(0);
        registration.user = registration.parameters.at(1).simplified();
    }
    return registration;
}

void registerRemoteServer(ClientSession &session, const std::shared_ptr<Connection> &connection,
                          UserSocketRegistry &registry, const QByteArray &message)
{
    QString user;
    const QByteArray error = registrationError(session, QString::fromUtf8(message), &user);
    if (!error.isEmpty()) {
        Log::error(QString::fromUtf8(error));
        connection->sendReply(error);
        return;
    }
    const QByteArray ok = QByteArrayLiteral("Ok");
    Log::info(QString::fromUtf8(ok));
    // Sharing starts before the entry exists, so no relay ever meets an unguarded reader; and the
    // stream is held until "Ok" is out, so no relayed message can come before it.
    connection->startSharing();
    const ExclusiveUse exclusive(*connection);
    registry.add(user, connection);
    connection->sendReply(ok);
}

QByteArray relay(ClientSession &session, UserSocketRegistry &registry, const QByteArray &message)
{
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    const bool isClose = QString::fromUtf8(message).simplified() == QLatin1String("_serverCommand_close");
    if (isClose) {
        if (registry.remove(session.userName))
            return QByteArrayLiteral("True");
    } else if (const std::shared_ptr<Connection> connection = registry.find(session.userName)) {
        const QByteArray answer = connection->relay(message, answerWaitMsecs);
        ServerMetrics::instance().relays.add();
        // A control client that stopped reading is given up, like one whose connection ended.
        if (connection->isDropped()) {
            ServerMetrics::instance().droppedControlClients.add();
            registry.removeConnection(connection.get());
        }
        return answer;
    }
    return QStringLiteral("Error: No defined socket for user '%1'. Users with socket: '%2'")
        .arg(session.userName, registry.userNames().join(QLatin1Char(',')))
        .toUtf8();
}

} // namespace ServerControl
