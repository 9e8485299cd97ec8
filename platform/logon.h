#pragma once

#include <QString>

// Checking a user's password against the host's own account database (PAM service
// "ambrix-server"; without a file of that name the host's "other" service applies).
namespace Logon {

// A logon by password: the password is right and the account may log on now.
bool checkPassword(const QString &user, const QString &password);

// The password is the user's current one, even when it has expired and must be changed
// (what a password change needs to know).
bool checkCurrentPassword(const QString &user, const QString &password);

} // namespace Logon
