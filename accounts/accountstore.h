#pragma once

#include "platform/accounts.h"

#include <QString>

// Where the accounts of a request live, decided per request by the server name (LOGONSERVER):
// unset, empty or naming this host, the host's own (platform/accounts.h); naming another host,
// the domain whose controller that host is (platform/domainaccounts.h), reached with the
// credentials of the settings. The operations and their NetStatus numbers are the same.
namespace AccountStore {

quint32 addUser(const QString &server, const Accounts::UserInfo &info);
quint32 deleteUser(const QString &server, const QString &name);
quint32 setUserInfo(const QString &server, const QString &name, const Accounts::UserInfo &info);
quint32 setPassword(const QString &server, const QString &name, const QString &password);
quint32 changePassword(const QString &server, const QString &name, const QString &oldPassword,
                       const QString &newPassword);

quint32 addGroup(const QString &server, const QString &group);
quint32 deleteGroup(const QString &server, const QString &group);
quint32 addGroupMember(const QString &server, const QString &group, const QString &user);
quint32 removeGroupMember(const QString &server, const QString &group, const QString &user);
Accounts::NameList groupMembers(const QString &server, const QString &group);
Accounts::NameList groupNames(const QString &server, int maxCount);

// The name the server's member listings give the user: a domain lists account names, and a
// domain logon may name the user "DOMAIN\user" or "user@REALM".
QString memberName(const QString &server, const QString &user);

// The user's domain password (Kerberos); false when server is this host.
bool checkDomainPassword(const QString &server, const QString &user, const QString &password);

} // namespace AccountStore
