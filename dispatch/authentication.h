#pragma once

#include <QString>

class Request;
struct SessionState;

// Login of a connection: the methods tried in order, and the admin-group check.
namespace Authentication {

// The login request: on success the session holds the user and its privilege. A request that
// may be passed on goes to the principal server when the database is closed; peers validate
// against this server, never through it. Returns the reply without its line end.
QString login(SessionState &session, const Request &request, bool mayAskPrincipal);

// Principal server (database closed, when allowed) or database token (database open), then
// this server's token, then the host account's password. user is the login name's user part.
bool authenticate(SessionState &session, bool mayAskPrincipal, const QString &user, const QString &password);
bool isInAdminGroup(const QString &user, const QString &group);

} // namespace Authentication
