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

} // namespace Sessions
