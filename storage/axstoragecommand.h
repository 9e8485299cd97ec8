#pragma once

#include "storage/cloudprogram.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class AXProcess;
class MySqlInfo;
class PeerConnection;

// Storage requests: the user's profiles server and forwarding to it, cloud drives, drive
// redirection and the profile path. The handlers are static; an instance exists only while a
// cloud drive is being configured on a connection (the session's pendingCloudDrive).
class AXStorageCommand : public QObject
{
    Q_OBJECT

public:
    // Forwarded requests go out under their own wire names; the command table uses these too.
    static constexpr char getCloudDrivesName[] = "get_cloud_drives";
    static constexpr char mountCloudDriveName[] = "mount_cloud_drive";
    static constexpr char mountCloudDrivesName[] = "mount_cloud_drives";
    static constexpr char umountCloudDrivesName[] = "umount_cloud_drives";
    static constexpr char removeCloudDriveName[] = "remove_cloud_drive";
    static constexpr char finishSetCloudDriveName[] = "finish_set_cloud_drive";
    static constexpr char cancelSetCloudDriveName[] = "cancel_set_cloud_drive";

    AXStorageCommand();
    ~AXStorageCommand() override;

    // "address:port" of the user's profiles server, or empty when there is none.
    static QString profilesServerLocation(const QString &user, MySqlInfo *db);
    static QString ownAddress(MySqlInfo *db);
    // A connection logged in on the user's profiles server as the user; existing is returned as
    // it is. Null when there is no profiles server or it cannot be reached or refuses the login.
    static std::unique_ptr<PeerConnection> connectProfilesServer(std::unique_ptr<PeerConnection> existing,
                                                                 const QString &user, MySqlInfo *db);
    // The local marker when the request runs here, else the profiles server's reply or an error.
    static QString forwardOnce(const QString &user, MySqlInfo *db, const QString &command,
                               const QStringList &parameters);
    // As forwardOnce, keeping the connection for the life of this object.
    QString forward(const QString &user, MySqlInfo *db, const QString &command,
                    const QStringList &parameters);
    static bool isLocal(const QString &forwardResult);

    static QStringList getCloudDrives(const QString &user, const QString &provider, MySqlInfo *db);
    static QString mountCloudDrive(const QString &user, const QString &provider, const QString &extra,
                                   MySqlInfo *db);
    static QString mountCloudDrives(const QString &user, MySqlInfo *db);
    static QString umountCloudDrives(const QString &user, MySqlInfo *db);
    static QString removeCloudDrive(const QString &provider, const QString &user, const QString &extra,
                                    MySqlInfo *db);
    QString setCloudDrive(const QString &provider, const QString &user, const QString &extra, MySqlInfo *db);
    QString finishSetCloudDrive(const QString &code, const QString &user, MySqlInfo *db);
    QString cancelSetCloudDrive(const QString &user, MySqlInfo *db);

    static QString getRedirectDrives(const QString &clientAddress, const QString &user, MySqlInfo *db);
    static QString getProfilesPath(MySqlInfo *db);

private:
    // Forwarded, or run here once per argument list; "Ok" when every run succeeded.
    static QString runCloudProgram(const QString &user, MySqlInfo *db, const QString &command,
                                   const QStringList &forwardedParameters, const QList<QStringList> &runs,
                                   CloudProgram::Waits waits, const QString &failure);

    // The account-creation program of a configuration; never started on this platform.
    std::unique_ptr<AXProcess> process;
    // Kept from the first forwarded request of this object; says "quit" when the object goes.
    std::unique_ptr<PeerConnection> profilesPeer;
};
