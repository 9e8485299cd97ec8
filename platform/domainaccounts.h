#pragma once

#include "platform/accounts.h"
#include "platform/domainhelper.h"

#include <QString>

// The users and groups of a domain, managed on its domain controller: the operations and
// NetStatus numbers of platform/accounts.h, for a logon server that is not this host. Every
// call goes through the helper process (DomainHelper).
//
// Built-in accounts and groups (relative id below 1000: Administrator, krbtgt, Domain Admins,
// ...) and accounts that are not ordinary user accounts (machine and trust accounts) are never
// created over, changed, reset, joined, left or removed: NetStatus::AccessDenied, and nothing
// changes. Listings are not restricted.
namespace DomainAccounts {

// Where the calls go: the controller as LOGONSERVER names it ("\\dc1", a host name or an
// address), and how to authenticate there.
struct Target {
    QString server;
    DomainCredentials credentials;
};

quint32 addUser(const Target &target, const Accounts::UserInfo &info);
quint32 deleteUser(const Target &target, const QString &name);
// Full name, home directory and profile path, and the password when one is given; empty
// fields stay as they are.
quint32 setUserInfo(const Target &target, const QString &name, const Accounts::UserInfo &info);
quint32 setPassword(const Target &target, const QString &name, const QString &password);
// Kerberos password change, authenticated with the old password: NetStatus::InvalidPassword
// when it is wrong, NetStatus::PasswordTooShort when the controller refuses the new one.
quint32 changePassword(const Target &target, const QString &name, const QString &oldPassword,
                       const QString &newPassword);

quint32 addGroup(const Target &target, const QString &group);
quint32 deleteGroup(const Target &target, const QString &group);
quint32 addGroupMember(const Target &target, const QString &group, const QString &user);
quint32 removeGroupMember(const Target &target, const QString &group, const QString &user);
Accounts::NameList groupMembers(const Target &target, const QString &group);
Accounts::NameList groupNames(const Target &target, int maxCount);

// The account part of "DOMAIN\user" or "user@REALM"; empty when what is left could name a
// service or a principal of another realm.
QString accountName(const QString &user);

// Kerberos initial credentials for the user in the target's realm. "DOMAIN\user" and
// "user@REALM" are checked as user.
bool checkPassword(const Target &target, const QString &user, const QString &password);

} // namespace DomainAccounts
