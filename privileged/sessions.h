#pragma once

#include <QList>
#include <QString>

// The users' login sessions of this machine, as the system's login records list them.
namespace Sessions {

struct Session {
    int id = -1;        // the process that holds the session
    QString userName;
};

// Live sessions in the order of the records; none when there are no records.
QList<Session> list();

// Ends the session: hang-up, then termination, then a kill after a short grace each, and
// returns once its processes are gone (true) or the last grace ran out (false).
bool logoff(int sessionId);

// The id of the user's session listed last, or -1; user names compare without regard to case.
// Each session examined adds a line "SessionId: ID, data: 'NAME', username: 'USER'" to
// *diagnostics.
int userSessionId(const QString &userName, QString *diagnostics);

// Ends the first of the user's sessions, unless it belongs to root or a system account: the
// platform manages its users, not the host.
void endUserSession(const QString &userName);

// The uid of the process holding the session, or -1 when it is gone.
qint64 ownerOf(int sessionId);

} // namespace Sessions
