#pragma once

#include "catalogue/applicationrecord.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class MySqlInfo;

// Catalogue questions of clients: applications, their groups, file types and servers. Never
// instantiated; the handlers are static and answer with the reply text.
class AXApplicationCommand : public QObject
{
    Q_OBJECT

public:
    // Catalogue
    static QString getValidApplications(const QString &userName, MySqlInfo *db);
    static QString getExtensionsList(MySqlInfo *db);
    static QString getApplicationGroups(MySqlInfo *db, int applicationId);
    static QString getApplicationGroupIds(MySqlInfo *db, int applicationId);
    static QString getApplicationExtensions(int applicationId, MySqlInfo *db);
    static QString getApplicationsByGroup(int groupId, MySqlInfo *db);
    static QString getApplications(const QString &extension, MySqlInfo *db);
    static QString applicationUpdated(int applicationId);

    // Fields of the application record
    static QString getApplicationName(int applicationId, MySqlInfo *db);
    static QString getApplicationDescription(int applicationId, MySqlInfo *db);
    static QString getApplicationExecPath(int applicationId, MySqlInfo *db);
    static QString getApplicationArguments(int applicationId, MySqlInfo *db);
    static QString getApplicationWorkingPath(int applicationId, MySqlInfo *db);
    static QString getApplicationOnlyone(int applicationId, MySqlInfo *db);
    static ApplicationRecord applicationRecord(int applicationId, MySqlInfo *db);

    // Icons and logos
    static QByteArray applicationIcon(int applicationId, MySqlInfo *db);
    static QByteArray applicationGroupIcon(int groupId, MySqlInfo *db);
    static QByteArray userLogo(const QString &userName, MySqlInfo *db);
    static QByteArray fetchMediaFile(const QString &path);

    // Servers
    static QString getServerHosts(int applicationId, MySqlInfo *db);
    static QString getServerIds(int applicationId, MySqlInfo *db);
    static QString getPreferredServer(int applicationId, double factor, MySqlInfo *db);
    static QString getServerType(int serverId, MySqlInfo *db);
    static QString serverAddress(int serverId, MySqlInfo *db);
    static int serverIdForAddress(const QString &address, MySqlInfo *db);
    static QString pickServer(const QList<double> &loads, const QList<double> &weights,
                              const QStringList &serverIds, double factor);

private:
    AXApplicationCommand() = delete;
};
