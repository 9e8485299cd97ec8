#pragma once

#include "dispatch/axservercommand.h"

// What must hold, besides the parameter count, before a command runs.
enum class CommandGuard {
    None,
    // Runs only with a non-empty old password (second parameter) or administrator privilege;
    // otherwise it is answered as a wrong parameter count.
    OldPasswordOrAdministrator,
    // Without administrator privilege the reply is empty, whatever the parameters.
    AdministratorOnly,
};

// What strict privilege (the operator's RequireAdminGroup) asks of a command, beyond its guard:
// commands that change the host's accounts, groups, folders, shares, sessions, tokens or
// registrations need administrator privilege; a token is read only by its own user.
enum class StrictAccess {
    Any,
    Administrator,          // otherwise the reply is empty, whatever the parameters
    OwnUserOrAdministrator, // the first parameter must name the logged-in user
};

using CommandHandler = QString (*)(AXServerCommand &command, const CommandParameters &parameters);

struct CommandRow {
    const char *name;
    int minParameters;
    int maxParameters;
    CommandGuard guard;
    StrictAccess strict;
    CommandHandler handler;
};

namespace CommandTable {

// Exact, case-sensitive lookup; null for an unknown name.
const CommandRow *find(const QString &name);
// False (with the name) when two rows share a wire name; the server then refuses to start.
bool hasUniqueNames(QString *duplicate);

} // namespace CommandTable
