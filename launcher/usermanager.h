#pragma once

#include <string>
#include <vector>

// The user's own systemd manager (user@UID.service), where a program started in the user's session
// belongs: there it is the user's, and whoever started it may come and go.
namespace UserManager {

// Whether the manager of the calling user listens in the runtime directory (empty: none known).
bool runsIn(const std::string &runtimeDirectory);

// "systemd-run --user" with the arguments that start command (a program path or name, and its
// arguments, taken as they are) as a transient unit of that manager, with environment
// ("NAME=value" entries) as the session's, once the program could be executed.
std::vector<std::string> startCommand(const std::vector<std::string> &command, const std::vector<std::string> &environment);

} // namespace UserManager
