#pragma once

#include <QString>

// Changes to the host's own users and groups, made with the shadow tools. Each answers a
// NetStatus number. Only ordinary accounts and groups change: an existing account or group whose
// id lies outside the host's ordinary range answers NetStatus::AccessDenied before any tool runs,
// whatever the caller asked.
namespace AccountTools {

// Full name and home directory may be empty (none); a password too (none is set). A password the
// host refuses leaves no account behind (NetStatus::PasswordTooShort).
quint32 addUser(const QString &name, const QString &fullName, const QString &home, const QString &password);
quint32 deleteUser(const QString &name);
quint32 setUserInfo(const QString &name, const QString &fullName, const QString &home, const QString &password);
quint32 setPassword(const QString &name, const QString &password);
// Only when oldPassword is the current one (NetStatus::InvalidPassword otherwise).
quint32 changePassword(const QString &name, const QString &oldPassword, const QString &newPassword);

quint32 addGroup(const QString &group);
quint32 deleteGroup(const QString &group);
quint32 addGroupMember(const QString &group, const QString &user);
quint32 removeGroupMember(const QString &group, const QString &user);

} // namespace AccountTools
