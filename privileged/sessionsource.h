#pragma once

#include <QList>
#include <QString>

// A user's login session on this machine.
struct Session {
    int id = -1;          // the process that holds it (logind's leader): the number the platform sees
    QString userName;
    qint64 uid = -1;      // its owner as the source knows it; -1: the kernel's owner of that process
    QString name;         // logind's own id ("3", "c1"); empty for a login record
    QString seat;         // where it runs: a seat, a remote host, or neither
    QString remoteHost;
    QString sessionClass; // user, greeter, ...
    QString type;         // x11, wayland, tty, ...
    QString display;      // the X display, for x11
};

// Where the sessions of this machine are found and ended: logind where it runs, the login records
// (utmp) otherwise. Both hold the same rules above them (Sessions).
class SessionSource
{
public:
    virtual ~SessionSource() = default;

    // Live sessions, oldest first as the source orders them.
    virtual QList<Session> list() const = 0;
    // Ends the session and returns once its processes are gone (true) or the last grace ran out.
    virtual bool logoff(const Session &session) const = 0;
};
