#include "dispatch/eventlog.h"

#include "catalogue/axapplicationcommand.h"
#include "db/mysqlinfo.h"
#include "dispatch/axservercommand.h"

#include <QDateTime>
#include <QVariant>

#include <limits>

namespace {

// An id beyond the catalogue's range names no application; narrowing it would name another.
QString applicationName(const AXServerCommand &command, qint64 applicationId)
{
    if (applicationId > std::numeric_limits<int>::max())
        return QString();
    return AXApplicationCommand::getApplicationName(static_cast<int>(applicationId), command.db);
}

} // namespace

namespace EventLog {

QString startSession(const AXServerCommand &command)
{
    return insertEvent(command, EventType::SessionStarted, 0,
                       AXServerCommand::tr("User %1 started session on server %2")
                           .arg(command.userName, command.clientAddress));
}

QString endSession(const AXServerCommand &command)
{
    return insertEvent(command, EventType::SessionEnded, 0,
                       AXServerCommand::tr("User %1 ended session on server %2")
                           .arg(command.userName, command.clientAddress));
}

QString startApplication(const AXServerCommand &command, qint64 applicationId, quint32 processId)
{
    return insertEvent(command, EventType::ApplicationStarted, applicationId,
                       AXServerCommand::tr("User %1 started application %2 on server %3 with process Id %4")
                           .arg(command.userName, applicationName(command, applicationId),
                                command.clientAddress, QString::number(processId)));
}

QString endApplication(const AXServerCommand &command, qint64 applicationId, quint32 processId)
{
    return insertEvent(command, EventType::ApplicationEnded, applicationId,
                       AXServerCommand::tr("User %1 ended application %2 on server %3 with process Id %4")
                           .arg(command.userName, applicationName(command, applicationId),
                                command.clientAddress, QString::number(processId)));
}

QString insertEvent(const AXServerCommand &command, EventType type, qint64 applicationId,
                    const QString &text)
{
    const qint64 serverId = AXApplicationCommand::serverIdForAddress(command.clientAddress, command.db);
    QStringList columns{QStringLiteral("server_id"), QStringLiteral("user_id")};
    QList<QVariant> values{serverId, command.userName};
    if (applicationId > 0) {
        columns.append(QStringLiteral("app_id"));
        values.append(applicationId);
    }
    columns << QStringLiteral("text") << QStringLiteral("time_stamp") << QStringLiteral("type_id");
    values << text << QDateTime::currentDateTimeUtc() << static_cast<qint64>(type);
    if (!command.db->insertRow(QStringLiteral("ax_log"), columns, values))
        return AXServerCommand::tr("Error inserting record on events database");
    return QStringLiteral("Ok");
}

} // namespace EventLog
