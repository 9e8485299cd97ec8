#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The host's users and groups as the system's name service reads them: nothing here changes
// them. Both the serving process and the privileged side read through it.
namespace AccountDatabase {

struct User {
    quint32 uid = 0;
    quint32 gid = 0; // of the primary group
    QString name;
    QString home;
};

struct Group {
    quint32 gid = 0;
    QStringList members; // the listed ones; members by primary group are not among them
};

// Empty for an unknown name and for one no account can have (empty, an option, a line end).
std::optional<User> findUser(const QString &name);
std::optional<User> findUserById(quint32 uid);
std::optional<Group> findGroup(const QString &name);

// Users whose primary group is gid, in the order of the users database.
QStringList usersWithPrimaryGroup(quint32 gid);
// Ordinary groups in the order of the group database, at most maxCount (*more: others follow).
QStringList ordinaryGroupNames(int maxCount, bool *more);
// The user's groups, primary group included, for taking on the user's identity.
QList<quint32> groupIdsOf(const User &user);

// The platform's own accounts and groups: ids in the host's ordinary range (login.defs UID_MIN..
// UID_MAX and GID_MIN..GID_MAX, 1000..60000 when unset), read afresh; never 0.
bool isOrdinaryUserId(quint32 uid);
bool isOrdinaryGroupId(quint32 gid);
// Root or an account below the ordinary range. (Ids above it are left to the caller: a domain's
// users are often mapped there.)
bool isSystemUserId(quint32 uid);

} // namespace AccountDatabase
