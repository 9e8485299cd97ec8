#pragma once

#include <string>
#include <vector>

// A login session's processes as /proc shows them: who owns the session, and the desktop
// environment the user's programs in it run with.
namespace SessionProcesses {

// The real user id of the process, or -1 when there is no such process.
long ownerOf(long pid);

// "NAME=value" for each of names set in the environment of the first process that has DISPLAY
// or WAYLAND_DISPLAY: the session process itself, then the other processes of its session that
// uid owns, by process id. Empty when none has: the session has no desktop. Read with the
// caller's own rights: a process whose environment it may not read counts as one without.
std::vector<std::string> graphicalEnvironment(long pid, long uid, const std::vector<std::string> &names);

} // namespace SessionProcesses
