#pragma once

#include <QString>

class ClientSession;

// Login of a connection: the methods tried in order, and the admin-group check.
namespace Authentication {

// Principal server (database closed) or database token (database open), then this server's
// token, then the host account's password. user is the login name's user part alone.
bool authenticate(ClientSession &session, const QString &command, const QString &user,
                  const QString &password);
bool isInAdminGroup(const QString &user, const QString &group);

} // namespace Authentication

