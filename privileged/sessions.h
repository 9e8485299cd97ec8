#pragma once

#include "platform/accountdatabase.h"
#include "privileged/sessionsource.h"

#include <QString>

#include <optional>

// The users' login sessions of this machine, from logind where it runs and from the login
// records otherwise, and the rules the platform keeps over them: it finds and ends the sessions
// of its users, never those of root or of the host's system accounts.
namespace Sessions {

// The user's session listed last (id -1 when none); user names compare without regard to case.
// Each session examined adds a line "SessionId: ID, data: 'NAME', username: 'USER'" to
// *diagnostics.
Session userSession(const QString &userName, QString *diagnostics);

// The account that holds the session, when it is an ordinary account (not root, not a system
// account) named userName: who holds it is what logind or the kernel says, not what a record says.
std::optional<AccountDatabase::User> ordinaryHolder(const Session &session, const QString &userName);

// Ends the first of the user's sessions, when an ordinary account of that name holds it.
void endUserSession(const QString &userName);

} // namespace Sessions
