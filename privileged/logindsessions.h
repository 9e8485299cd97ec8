#pragma once

#include "privileged/sessionsource.h"

// Sessions as systemd-logind keeps them, ended through logind itself.
class LogindSessions final : public SessionSource
{
public:
    // Whether logind keeps this machine's sessions: booted with systemd, and logind has run.
    static bool isRunning();

    // The sessions not closing and with a leader, by their start.
    QList<Session> list() const override;
    // TerminateSession, and KillSession with SIGKILL for whatever outlives a grace.
    bool logoff(const Session &session) const override;
};
