#pragma once

#include <QString>
#include <QStringList>

// The host's users and groups. Every operation answers a NetStatus number (0 for success).
// Operations that take a server name (as LOGONSERVER gives it, "\\host") act on this host when
// it is empty or names this host, and answer NetStatus::InvalidComputer for any other host
// without touching anything.
//
// Changes reach only ordinary accounts and groups, the platform's own: an existing account or
// group whose id lies outside the host's ordinary range (login.defs UID_MIN..UID_MAX,
// GID_MIN..GID_MAX; root never) answers NetStatus::AccessDenied before any tool runs. Reads are
// not limited, except that groupNames() lists ordinary groups only.
namespace Accounts {

// What an account carries.
struct UserInfo {
    QString name;
    QString password;    // empty: none is set
    QString fullName;
    QString homeDir;     // empty: none
    QString profilePath; // a roaming-profile path; a Linux account has no place for it
};

struct NameList {
    quint32 status = 0;
    QStringList names;
};

struct AccountLookup {
    quint32 status = 0;      // NetStatus::NoneMapped for an unknown name
    QString sid;             // "S-1-22-1-" followed by the user's uid
    QString primaryGroupSid; // "S-1-22-2-" followed by the gid of the user's primary group
};

// Creates the account in the host's users group, with the password when one is given. A
// password the host refuses leaves no account behind (NetStatus::PasswordTooShort).
quint32 addUser(const QString &server, const UserInfo &info);
quint32 deleteUser(const QString &server, const QString &name);
// Applies the record to an existing account: full name and home directory, and the password
// when one is given.
quint32 setUserInfo(const QString &server, const QString &name, const UserInfo &info);
quint32 setPassword(const QString &server, const QString &name, const QString &password);
// Changes the password only when oldPassword is the current one (NetStatus::InvalidPassword
// otherwise).
quint32 changePassword(const QString &server, const QString &name, const QString &oldPassword,
                       const QString &newPassword);

quint32 addGroup(const QString &server, const QString &group);
quint32 deleteGroup(const QString &server, const QString &group);
// NetStatus::MemberInGroup when the user already belongs to the group.
quint32 addGroupMember(const QString &server, const QString &group, const QString &user);
// NetStatus::MemberNotInGroup, or NetStatus::MembersPrimaryGroup for the user's primary group.
quint32 removeGroupMember(const QString &server, const QString &group, const QString &user);

// The group's listed members, then the users whose primary group it is.
NameList groupMembers(const QString &server, const QString &group);
// Group names in the order of the group database, at most maxCount of them
// (NetStatus::MoreData when more exist).
NameList groupNames(const QString &server, int maxCount);

AccountLookup lookupAccount(const QString &name);
// Root or an account of the host's own, below the ordinary range: never the platform's. (Ids above
// the range are left to the caller: a domain's users are often mapped there.)
bool isSystemAccount(const QString &name);

} // namespace Accounts
