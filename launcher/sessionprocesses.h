#pragma once

#include <functional>
#include <string>
#include <vector>

// A login session's processes as /proc shows them: who owns the session, and the desktop
// environment the user's programs in it run with.
namespace SessionProcesses {

// The real user id of the process, or -1 when there is no such process.
long ownerOf(long pid);

// The processes uid owns that belong (belongs(pid)), by process id.
std::vector<long> processesOf(long uid, const std::function<bool(long)> &belongs);

// The process and the other processes of its kernel session that uid owns, by process id: a
// login session as the login records know it.
std::vector<long> kernelSession(long pid, long uid);

// "NAME=value" for each of names set in the environment of the first of the processes that has
// DISPLAY or WAYLAND_DISPLAY. Empty when none has: the session has no desktop. Read with the
// caller's own rights: a process whose environment it may not read counts as one without.
std::vector<std::string> graphicalEnvironment(const std::vector<long> &processes, const std::vector<std::string> &names);

} // namespace SessionProcesses
