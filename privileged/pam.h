#pragma once

#include <QString>

// Checking a user's password against the host's own account database (PAM service
// "ambrix-server"; without a file of that name the host's "other" service applies).
namespace Pam {

// The password is right and the account may log on now; with acceptExpiredPassword, also when the
// password has expired and must be changed (what a password change needs to know).
bool checkPassword(const QString &user, const QString &password, bool acceptExpiredPassword);

} // namespace Pam
