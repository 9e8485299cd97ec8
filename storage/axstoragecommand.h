#pragma once

#include "storage/cloudprogram.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class MySqlInfo;
class PeerConnection;

// Storage requests: the user's profiles server and forwarding to it, cloud drives, drive
// redirection and the profile path. The handlers are static; an instance exists only while a
// cloud drive is being configured on a connection (the session's pendingCloudDrive).
class AXStorageCommand : public QObject
{
    Q_OBJECT

public:
    // Where a storage request runs: here, or on the user's profiles server, whose reply (or the
    // error of reaching it) is then the answer.
    struct Forwarded {
        bool isLocal = false;
        QString reply;
    };

    AXStorageCommand();
    ~AXStorageCommand() override;

    // "address:port" of the user's profiles server, or empty when there is none.
    static QString profilesServerLocation(const QString &user, MySqlInfo *db);
    static QString ownAddress(MySqlInfo *db);
    // A connection logged in on the user's profiles server as the user; existing is returned as
    // it is. Null when there is no profiles server or it cannot be reached or refuses the login.
    static std::unique_ptr<PeerConnection> connectProfilesServer(std::unique_ptr<PeerConnection> existing,
                                                                 const QString &user, MySqlInfo *db);
    // command goes to the profiles server under that name, with the parameters.
    static Forwarded forwardOnce(const QString &user, MySqlInfo *db, const QString &command,
                                 const QStringList &parameters);
    // As forwardOnce, keeping the connection for the life of this object.
    Forwarded forward(const QString &user, MySqlInfo *db, const QString &command, const QStringList &parameters);

    // Each takes its own wire name first: a request forwarded goes out under it.
    static QStringList getCloudDrives(const QString &command, const QString &user, const QString &provider,
                                      MySqlInfo *db);
    static QString mountCloudDrive(const QString &command, const QString &user, const QString &provider,
                                   const QString &extra, MySqlInfo *db);
    static QString mountCloudDrives(const QString &command, const QString &user, MySqlInfo *db);
    static QString umountCloudDrives(const QString &command, const QString &user, MySqlInfo *db);
    static QString removeCloudDrive(const QString &command, const QString &provider, const QString &user,
                                    const QString &extra, MySqlInfo *db);
    QString setCloudDrive(const QString &provider, const QString &user, const QString &extra, MySqlInfo *db);
    QString finishSetCloudDrive(const QString &command, const QString &code, const QString &user, MySqlInfo *db);
    QString cancelSetCloudDrive(const QString &command, const QString &user, MySqlInfo *db);

    static QString getRedirectDrives(const QString &clientAddress, const QString &user, MySqlInfo *db);
    static QString getProfilesPath(MySqlInfo *db);

private:
    // Forwarded, or run here once per argument list; "Ok" when every run succeeded.
    static QString runCloudProgram(const QString &user, MySqlInfo *db, const QString &command,
                                   const QStringList &forwardedParameters, const QList<QStringList> &runs,
                                   CloudProgram::Waits waits, const QString &failure);

    // Kept from the first forwarded request of this object; says "quit" when the object goes.
    std::unique_ptr<PeerConnection> profilesPeer;
};
