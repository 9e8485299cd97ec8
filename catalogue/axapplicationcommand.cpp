#include "catalogue/axapplicationcommand.h"
#include "base/log.h"

#include "catalogue/applicationrecordcache.h"
#include "catalogue/mediafetch.h"
#include "db/mysqlinfo.h"
#include "registration/serverregistry.h"

#include <QtDebug>

namespace {

// Ids read from one query go into the next as numbers, whatever the column held.
QString decimal(const QString &id)
{
    return QString::number(id.toLongLong());
}

// Users log in as "DOMAIN\name"; the catalogue knows them by name alone.
QString withoutDomain(const QString &userName)
{
    return userName.section(QLatin1Char('\\'), -1);
}

QStringList firstColumn(const QList<QStringList> &rows)
{
    QStringList values;
    values.reserve(rows.size());
    for (const QStringList &row : rows)
        values.append(row.value(0));
    return values;
}

QStringList applicationsOfGroups(MySqlInfo *db, const QStringList &applicationGroupIds)
{
    QStringList ids;
    for (const QString &group : applicationGroupIds)
        ids += db->selectColumn(QStringLiteral("ax_applicationgroup_applications"),
                                QStringLiteral("application_id"),
                                QStringLiteral("applicationgroup_id=") + MySqlInfo::quote(group));
    return ids;
}

ApplicationRecord loadApplicationRecord(int id, MySqlInfo *db)
{
    ApplicationRecord record;
    record.id = id;
    const QString byId = QStringLiteral("id=") + QString::number(id);
    const QStringList row = db->selectRow(
        QStringLiteral("ax_application"), byId,
        {QStringLiteral("name"), QStringLiteral("description"), QStringLiteral("command"),
         QStringLiteral("args"), QStringLiteral("only_one"), QStringLiteral("init_path"),
         QStringLiteral("icon")});
    record.name = row.value(0);
    record.description = row.value(1);
    record.command = row.value(2);
    record.args = row.value(3);
    record.only_one = row.value(4);
    record.init_path = row.value(5);
    record.iconPath = row.value(6);

    record.server_ids = db->selectColumn(QStringLiteral("ax_server_applications"),
                                         QStringLiteral("server_id"),
                                         QStringLiteral("application_id=") + QString::number(id));
    if (!record.server_ids.isEmpty()) {
        QStringList conditions;
        for (const QString &serverId : qAsConst(record.server_ids))
            conditions.append(QStringLiteral("id=") + decimal(serverId));
        record.server_addresses = db->selectColumn(QStringLiteral("ax_server"),
                                                   QStringLiteral("address"),
                                                   conditions.join(QStringLiteral(" OR ")));
    }
    return record;
}

} // namespace

QString AXApplicationCommand::getValidApplications(const QString &userName, MySqlInfo *db)
{
    if (userName.isEmpty())
        return QString();
    const QString byUser = QStringLiteral("user_id=") + MySqlInfo::quote(withoutDomain(userName));

    // Order matters to clients: direct grants, then per user group its own grants followed by
    // those of its application groups, then the user's own application groups.
    QStringList ids = db->selectColumn(QStringLiteral("ax_application_users"),
                                       QStringLiteral("application_id"), byUser);
    const QStringList userGroups = db->selectColumn(QStringLiteral("ax_usergroup_users"),
                                                    QStringLiteral("usergroup_id"), byUser);
    for (const QString &group : userGroups) {
        const QString byGroup = QStringLiteral("usergroup_id=") + MySqlInfo::quote(group);
        ids += db->selectColumn(QStringLiteral("ax_application_usergroups"),
                                QStringLiteral("application_id"), byGroup);
        ids += applicationsOfGroups(db, db->selectColumn(QStringLiteral("ax_usergroup_applicationgroups"),
                                                         QStringLiteral("applicationgroup_id"), byGroup));
    }
    ids += applicationsOfGroups(db, db->selectColumn(QStringLiteral("ax_user_applicationgroups"),
                                                     QStringLiteral("applicationgroup_id"), byUser));
    ids.removeDuplicates(); // keeps the first occurrence
    return ids.join(QLatin1Char(','));
}

QString AXApplicationCommand::getExtensionsList(MySqlInfo *db)
{
    return db->selectColumn(QStringLiteral("ax_extension"), QStringLiteral("name"),
                            QStringLiteral("true"))
        .join(QLatin1Char(','));
}

QString AXApplicationCommand::getApplicationGroups(MySqlInfo *db, int applicationId)
{
    if (applicationId == 0)
        return db->selectColumn(QStringLiteral("ax_applicationgroup"), QStringLiteral("name"),
                                QStringLiteral("true"))
            .join(QLatin1Char(':'));
    return db->selectColumn(QStringLiteral("ax_applicationgroup,ax_applicationgroup_applications"),
                            QStringLiteral("name"),
                            QStringLiteral("application_id=") + MySqlInfo::quote(QString::number(applicationId))
                                + QStringLiteral(" AND ax_applicationgroup.id = "
                                                 "ax_applicationgroup_applications.applicationgroup_id"))
        .join(QLatin1Char(':'));
}

QString AXApplicationCommand::getApplicationGroupIds(MySqlInfo *db, int applicationId)
{
    if (applicationId == 0)
        return db->selectColumn(QStringLiteral("ax_applicationgroup"), QStringLiteral("id"),
                                QStringLiteral("true"))
            .join(QLatin1Char(':'));
    return db->selectColumn(QStringLiteral("ax_applicationgroup_applications"),
                            QStringLiteral("applicationgroup_id"),
                            QStringLiteral("application_id=") + MySqlInfo::quote(QString::number(applicationId)))
        .join(QLatin1Char(':'));
}

QString AXApplicationCommand::getApplicationExtensions(int applicationId, MySqlInfo *db)
{
    return db->selectColumn(QStringLiteral("ax_application_mime_types,ax_mimetype_extensions"),
                            QStringLiteral("extension_id"),
                            QStringLiteral("ax_application_mime_types.mimetype_id="
                                           "ax_mimetype_extensions.mimetype_id AND "
                                           "ax_application_mime_types.application_id=")
                                + QString::number(applicationId))
        .join(QLatin1Char(':'));
}

QString AXApplicationCommand::getApplicationsByGroup(int groupId, MySqlInfo *db)
{
    // -1 asks for the applications that belong to no group.
    if (groupId == -1)
        return firstColumn(db->queryRows(QStringLiteral("SELECT id FROM ax_application WHERE "
                                                        "ax_application.id NOT IN (SELECT application_id "
                                                        "FROM ax_applicationgroup_applications)"),
                                         {QStringLiteral("AGR_APP_ID")}))
            .join(QLatin1Char(':'));
    return db->selectColumn(QStringLiteral("ax_applicationgroup_applications"),
                            QStringLiteral("application_id"),
                            QStringLiteral("applicationgroup_id=") + QString::number(groupId))
        .join(QLatin1Char(':'));
}

QString AXApplicationCommand::getApplications(const QString &extension, MySqlInfo *db)
{
    QString bare = extension;
    bare.remove(QLatin1Char('.'));
    // Two blanks before FROM and WHERE: the statement is logged and compared as written.
    const QString sql = QStringLiteral("SELECT ax_application_mime_types.application_id  FROM "
                                       "ax_application_mime_types,ax_mimetype_extensions  WHERE "
                                       "ax_mimetype_extensions.extension_id = ")
                        + MySqlInfo::quote(bare)
                        + QStringLiteral(" AND ax_application_mime_types.mimetype_id = "
                                         "ax_mimetype_extensions.mimetype_id");
    AX_DEBUG("%s", qUtf8Printable(sql));
    return firstColumn(db->queryRows(sql, {QStringLiteral("app_id")})).join(QLatin1Char(':'));
}

QString AXApplicationCommand::applicationUpdated(int applicationId)
{
    ApplicationRecordCache::instance().remove(applicationId);
    return QString();
}

ApplicationRecord AXApplicationCommand::applicationRecord(int applicationId, MySqlInfo *db)
{
    return ApplicationRecordCache::instance().record(applicationId,
                                                     [&] { return loadApplicationRecord(applicationId, db); });
}

QString AXApplicationCommand::getApplicationName(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).name;
}

QString AXApplicationCommand::getApplicationDescription(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).description;
}

QString AXApplicationCommand::getApplicationExecPath(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).command;
}

QString AXApplicationCommand::getApplicationArguments(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).args;
}

QString AXApplicationCommand::getApplicationWorkingPath(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).init_path;
}

QString AXApplicationCommand::getApplicationOnlyone(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).only_one;
}

QByteArray AXApplicationCommand::applicationIcon(int applicationId, MySqlInfo *db)
{
    return ApplicationRecordCache::instance().icon(
        applicationId, [&] { return loadApplicationRecord(applicationId, db); }, fetchMediaFile);
}

QByteArray AXApplicationCommand::applicationGroupIcon(int groupId, MySqlInfo *db)
{
    const QStringList icons = db->selectColumn(QStringLiteral("ax_applicationgroup"),
                                               QStringLiteral("icon"),
                                               QStringLiteral("id=") + QString::number(groupId));
    return icons.isEmpty() ? QByteArray() : fetchMediaFile(icons.first());
}

QByteArray AXApplicationCommand::userLogo(const QString &userName, MySqlInfo *db)
{
    if (userName.isEmpty())
        return QByteArray();
    const QStringList groups = db->selectColumn(
        QStringLiteral("ax_usergroup_users"), QStringLiteral("usergroup_id"),
        QStringLiteral("user_id=") + MySqlInfo::quote(withoutDomain(userName)));
    if (groups.isEmpty())
        return QByteArray();
    const QStringList logos = db->selectColumn(QStringLiteral("ax_usergroup"), QStringLiteral("logo"),
                                               QStringLiteral("id=") + decimal(groups.first()));
    return logos.isEmpty() ? QByteArray() : fetchMediaFile(logos.first());
}

QByteArray AXApplicationCommand::fetchMediaFile(const QString &path)
{
    return MediaFetch::fetch(path);
}

QString AXApplicationCommand::getServerHosts(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).server_addresses.join(QLatin1Char(':'));
}

QString AXApplicationCommand::getServerIds(int applicationId, MySqlInfo *db)
{
    return applicationRecord(applicationId, db).server_ids.join(QLatin1Char(':'));
}

QString AXApplicationCommand::getPreferredServer(int applicationId, double factor, MySqlInfo *db)
{
    const QStringList serverIds = applicationRecord(applicationId, db).server_ids;
    // No figures are asked of the servers: every one counts as fully loaded and unweighted.
    QList<double> loads;
    QList<double> weights;
    for (int i = 0; i < serverIds.size(); ++i) {
        loads.append(100.0);
        weights.append(0.0);
    }
    return pickServer(loads, weights, serverIds, factor);
}

QString AXApplicationCommand::pickServer(const QList<double> &loads, const QList<double> &weights,
                                         const QStringList &serverIds, double factor)
{
    double bestScore = -1.0;
    QString best;
    for (int i = 0; i < serverIds.size(); ++i) {
        const double score = (100.0 - loads.value(i) * factor) * weights.value(i);
        // Strictly greater: ties keep the earlier server, and NaN never wins.
        if (score > bestScore) {
            bestScore = score;
            best = serverIds.at(i);
        }
    }
    return best;
}

QString AXApplicationCommand::serverAddress(int serverId, MySqlInfo *db)
{
    return db->selectColumn(QStringLiteral("ax_server"), QStringLiteral("address"),
                            QStringLiteral("id=") + QString::number(serverId))
        .value(0);
}

QString AXApplicationCommand::getServerType(int serverId, MySqlInfo *db)
{
    return db->selectColumn(QStringLiteral("ax_server,ax_os"), QStringLiteral("ax_os.name"),
                            QStringLiteral("ax_server.os_id=ax_os.id AND ax_server.id=")
                                + QString::number(serverId))
        .value(0);
}

int AXApplicationCommand::serverIdForAddress(const QString &address, MySqlInfo *db)
{
    // The registry writes every "ax_server" row.
    return ServerRegistry::serverIdForAddress(db, address);
}
