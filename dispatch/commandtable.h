#pragma once

#include "dispatch/axservercommand.h"
#include "dispatch/request.h"

// Who may run a command.
enum class Access {
    // Answered before a login too (fields by the positional rule), when the first minParameters
    // fields after the name are not empty; otherwise the request is an ordinary one.
    NoLogin,
    LoggedIn,
    // Without administrator privilege the reply is empty, whatever the parameters.
    Administrator,
    // Runs only with a non-empty old password (second parameter) or administrator privilege;
    // otherwise it is answered as a wrong parameter count.
    OldPasswordOrAdministrator,
};

// What strict privilege (the operator's RequireAdminGroup) asks of a command besides: commands
// that change the host's accounts, groups, folders, shares, sessions, tokens or registrations
// need administrator privilege; a token is read only by its own user.
enum class StrictAccess {
    Any,
    Administrator,          // otherwise the reply is empty, whatever the parameters
    OwnUserOrAdministrator, // the first parameter must name the logged-in user
};

// The parts of a request, and whether its reply, that carry a password or token and so never
// reach a log or the debug channel.
struct Secrets {
    enum Rule {
        None,
        Parameters,    // the dispatcher's parameters first..last
        Fields,        // positional fields first..last
        LoginPassword, // everything after the second "&", as the login reads its password
    };
    Rule rule = None;
    int first = 0;
    int last = -1; // -1: everything from first on
    bool inReply = false;
};

// One command: every fact about it in one row. Counts are parameters only (not the name).
template <typename Result>
struct CommandRowOf {
    const char *name;
    int minParameters;
    int maxParameters;
    Access access;
    StrictAccess strict;
    Secrets secrets;
    Result (*handler)(AXServerCommand &command, const Request &request);
    // The catalogue table the command is meant to write, if any.
    const char *writes = nullptr;
};
using CommandRow = CommandRowOf<QString>;
// "_byteArray_" requests, answered with bytes.
using ByteArrayRow = CommandRowOf<QByteArray>;

namespace CommandTable {

// Exact, case-sensitive lookup; null for an unknown name.
const CommandRow *find(const QString &name);
// The row that answers a text request: one answered before a login, by its positional fields,
// or else one by the name before the first "?"; null when none does.
const CommandRow *rowFor(const Request &request);
const ByteArrayRow *findByteArray(const QString &name);
// Every row in table order, for checks that must cover the whole table.
QList<const CommandRow *> allRows();
QList<const ByteArrayRow *> allByteArrayRows();
// False (with the name) when two rows share a wire name; the server then refuses to start.
bool hasUniqueNames(QString *duplicate);

// The name whose leading bytes end a connection, and which answers "true" as a request.
inline constexpr char QuitName[] = "quit";

} // namespace CommandTable
