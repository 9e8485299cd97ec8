#pragma once

#include <string>

// The argument list the server builds to open something in a user's session:
// "-accepteula" "-i" SESSION "-s" PROGRAM PATH [EXTRA].
struct LaunchRequest {
    std::string session;  // the session process's id, or -1 for none
    std::string program;  // the Windows shell, "...\explorer.exe"
    std::string path;     // with "\" where the Linux path has "/"
    std::string extra;    // empty when none was given
};

// False when the list has another shape.
bool parseLaunchRequest(int argc, const char *const argv[], LaunchRequest *request);

// The session process's id; -1 for "no session" and for anything that is no process id.
long sessionProcess(const std::string &session);

// Opening with the user's default application is the only thing this launcher can start.
bool isExplorer(const std::string &program);

// The server turns every "/" into "\"; turning them all back also turns a "\" that was in the
// Linux name into "/", which the server's conversion has made ambiguous anyway.
std::string linuxPath(std::string path);
