#pragma once

#include "privileged/sessionsource.h"

// Sessions as the login records (utmp) list them, each held by the process of its record. For
// machines without logind.
class UtmpSessions final : public SessionSource
{
public:
    // Records whose process is gone, or whose id another process has since, are no sessions.
    QList<Session> list() const override;
    // Hang-up, termination, then a kill to the session's process group, a short grace each.
    bool logoff(const Session &session) const override;
};
