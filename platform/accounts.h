#pragma once

#include <QString>
#include <QStringList>

#include <memory>

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

} // namespace Accounts

// The users and groups of one logon server: this host's (Accounts::onHost) or a domain's
// (DomainAccounts::onController). Every operation answers a NetStatus number (0 for success), the
// same numbers for both.
class AccountBackend
{
public:
    virtual ~AccountBackend() = default;

    // Creates the account (on the host in its users group), with the password when one is
    // given. A password the host refuses leaves no account behind (NetStatus::PasswordTooShort).
    virtual quint32 addUser(const Accounts::UserInfo &info) const = 0;
    virtual quint32 deleteUser(const QString &name) const = 0;
    // Applies the record to an existing account: full name and home directory (in a domain the
    // profile path too, and empty fields stay as they are), and the password when one is given.
    virtual quint32 setUserInfo(const QString &name, const Accounts::UserInfo &info) const = 0;
    virtual quint32 setPassword(const QString &name, const QString &password) const = 0;
    // Changes the password only when oldPassword is the current one (NetStatus::InvalidPassword
    // otherwise). In a domain a Kerberos password change, authenticated with the old password:
    // NetStatus::PasswordTooShort when the controller refuses the new one.
    virtual quint32 changePassword(const QString &name, const QString &oldPassword,
                                   const QString &newPassword) const = 0;

    virtual quint32 addGroup(const QString &group) const = 0;
    virtual quint32 deleteGroup(const QString &group) const = 0;
    // NetStatus::MemberInGroup when the user already belongs to the group.
    virtual quint32 addGroupMember(const QString &group, const QString &user) const = 0;
    // NetStatus::MemberNotInGroup, or NetStatus::MembersPrimaryGroup for the user's primary group.
    virtual quint32 removeGroupMember(const QString &group, const QString &user) const = 0;

    // The group's listed members, then the users whose primary group it is.
    virtual Accounts::NameList groupMembers(const QString &group) const = 0;
    // Group names in the order of the group database, at most maxCount of them
    // (NetStatus::MoreData when more exist).
    virtual Accounts::NameList groupNames(int maxCount) const = 0;

    // The name the member listings give the user: a domain lists account names, and a domain
    // logon may name the user "DOMAIN\user" or "user@REALM".
    virtual QString memberName(const QString &user) const = 0;
    // The user's domain password: Kerberos initial credentials in the domain's realm
    // ("DOMAIN\user" and "user@REALM" are checked as user). Always false on the host, whose
    // passwords the privileged side checks (platform/privileged.h).
    virtual bool checkPassword(const QString &user, const QString &password) const = 0;
};

namespace Accounts {

// The host's users and groups. The server name is the one the request named (as LOGONSERVER
// gives it, "\\host"): empty or naming this host, the operations act on this host; for any
// other host they answer NetStatus::InvalidComputer without touching anything.
//
// Changes go to the privileged side and reach only ordinary accounts and groups, the platform's
// own: an existing account or group whose id lies outside the host's ordinary range (login.defs
// UID_MIN..UID_MAX, GID_MIN..GID_MAX; root never) answers NetStatus::AccessDenied before any tool
// runs. Reads are not limited, except that groupNames() lists ordinary groups only.
std::unique_ptr<AccountBackend> onHost(const QString &server);

} // namespace Accounts
