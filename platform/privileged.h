#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Everything the serving process may ask of the privileged side, one call per operation (the
// messages are in platform/privilegedwire.h). Fields that come from clients are checked here
// first, so that a client's odd value gets the answer its command always gave; the privileged
// side checks them all again. When the privileged side is not there (a process that does not
// serve), every call fails the way its operation fails.
namespace Privileged {

// Host accounts: NetStatus numbers, as Accounts::onHost's backend answers them.
quint32 addUser(const QString &name, const QString &fullName, const QString &home, const QString &password);
quint32 deleteUser(const QString &name);
quint32 setUserInfo(const QString &name, const QString &fullName, const QString &home, const QString &password);
quint32 setPassword(const QString &name, const QString &password);
quint32 changePassword(const QString &name, const QString &oldPassword, const QString &newPassword);
quint32 addGroup(const QString &group);
quint32 deleteGroup(const QString &group);
quint32 addGroupMember(const QString &group, const QString &user);
quint32 removeGroupMember(const QString &group, const QString &user);
// The host account's password (PAM): right, and the account may log on now (or, with
// acceptExpired, the current one even though it has expired).
bool checkPassword(const QString &user, const QString &password, bool acceptExpired = false);

struct FolderCreation {
    bool allowed = false;      // a plain user name and a base folder within the folder roots
    QString path;              // of the folder, every link resolved
    quint32 lookupStatus = 0;  // NetStatus of the account's lookup
    QList<quint32> acls;       // PrivilegedWire::AclResult of each sub-folder, then the folder
    quint32 shareStatus = 0;   // NetStatus of the share
};
FolderCreation createUserFolder(const QString &user, const QString &baseFolder);

struct FolderRemoval {
    bool allowed = false;
    quint32 shareStatus = 0;
};
FolderRemoval removeUserFolder(const QString &user, const QString &baseFolder);

// A PrivilegedWire::UploadStatus; when the file was opened (as the user, for writing), *file
// holds its descriptor.
quint32 openUploadFile(const QString &user, const QString &targetDir, const QString &fileName, QFile *file);

// The session id psexec was started for (-1: none); nothing starts for a path or extra argument
// with control characters (then -1 as well).
int openInSession(const QString &user, const QString &path, const QString &extra);
void endSession(const QString &user);

// PrivilegedWire::PxeStatus.
quint32 writePxeFile(const QString &client, const QString &fileName, const QByteArray &content);
quint32 removePxeFile(const QString &client, const QString &fileName);

// Exit codes as replies report them (Programs::exitCodeOf): -2 for arguments never run.
int mountChroot(const QString &p0, const QString &p1, const QString &user, const QString &password,
                const QString &p3, const QString &p4);
bool umountChroot(const QString &argument);
int connectPrinter(const QString &p0, const QString &p1, const QString &p2, const QString &user);
int disconnectPrinter(const QString &p0, const QString &p1, const QString &p2, const QString &user);
int prunePrinters(const QString &p0, const QString &user);

struct CloudRun {
    bool succeeded = false;
    QByteArray standardOutput;
};
// extra empty: none. startThenFinish: up to 30 s to start, then 30 s to end; otherwise 30 s in all.
CloudRun manageCloud(const QString &user, const QString &provider, const QString &action, const QString &extra,
                     bool startThenFinish);

void appendLog(bool isError, const QString &text);
// Whether the privileged side answers a request now.
bool isAnswering();

// The host's keytab, empty when there is none.
QByteArray hostKeytab();

// The PEM texts of the server's certificate and key, as the privileged side read them.
struct TlsCredentials {
    quint32 status = 0; // a PrivilegedWire::TlsStatus, or Refused
    QByteArray certificate;
    QByteArray key;
};
TlsCredentials tlsCredentials();

} // namespace Privileged
