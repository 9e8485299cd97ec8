#pragma once

#include "platform/accounts.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <initializer_list>

class MySqlInfo;

// The host's accounts as the console manages them: users, groups, users' profile folders with
// their shares, and user tokens. Never instantiated: the class gives the replies their
// translation context. Every operation returns the reply text.
class AXUserCommand : public QObject
{
    Q_OBJECT

public:
    AXUserCommand() = delete;

    // Users.
    static Accounts::UserInfo buildUserInfo(const QString &name, const QString &password,
                                            const QString &homeDir, const QString &profilePath);
    // Empty on success.
    static QString createUser(const QString &name, const QString &password);
    // "create_user": createUser, then enableUser for each group (one or two); the last
    // enableUser's reply is the reply.
    static QString createUserInGroups(const QString &name, const QString &password,
                                      const QStringList &groups);
    // A fresh token on success (not stored).
    static QString enableUser(const QString &name, const QString &group);
    static QString disableUser(const QString &name, const QString &group);
    static QString removeUser(const QString &name);
    // An empty oldPassword resets the password (for administrators only: the dispatcher's guard).
    // Old-password checks count against clientAddress and limitedAs (the name's user part; name
    // when empty) like failed logins.
    static QString changeUserPassword(const QString &name, const QString &oldPassword,
                                      const QString &newPassword, const QString &clientAddress,
                                      const QString &limitedAs = QString());

    // Groups.
    static QString createGroup(const QString &group);
    static QString removeGroup(const QString &group);
    static QString listGroups();
    static QString listGroupMembers(const QString &group);
    // Letter case ignored; false for an unknown group.
    static bool isUserInGroup(const QString &name, const QString &group);

    // Profile folders.
    static QString createUserFolder(const QString &userName, const QString &baseFolder);
    static QString removeUserFolder(const QString &userName, const QString &baseFolder);

    // User tokens.
    static QString activateUser(MySqlInfo *db, const QString &name);
    static QString userToken(MySqlInfo *db, const QString &name);
    // Every token stored for the user, as the token login checks them.
    static QStringList userTokens(MySqlInfo *db, const QString &name);
    static QString userNameById(MySqlInfo *db, const QString &id);

private:
    static QStringList groupMemberNames(const QString &group);
    static QString errorReply(const QString &message);
    static QString statusError(quint32 status, std::initializer_list<quint32> described,
                               const QString &otherwise);
};
