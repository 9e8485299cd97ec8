#pragma once

#include <string>
#include <vector>

// The launcher's system calls: accounts, identity, processes. The rest of it is plain C++.
namespace System {

struct UserAccount {
    long uid = -1;
    long gid = -1;
    std::string name;
    std::string home;
    std::string shell;
};

// Default signal handling and no descriptor above standard error: nothing the server had set
// up or left open reaches the programs started.
void resetInheritedState();

bool lookupUser(long uid, UserAccount *user);

// fork(): the child's id in the parent, 0 in the child, -1 with errno text in error on failure.
long startChild(std::string *error);
// The child's exit code; 128 + the signal when one ended it.
int waitForChild(long pid);
[[noreturn]] void exitNow(int code);

// For good: supplementary groups, group and user, checked that root cannot come back; then the
// user's home as working directory (or "/").
bool becomeUser(const UserAccount &user, std::string *error);
// Exactly environment ("NAME=value" entries), nothing else.
void useEnvironment(const std::vector<std::string> &environment);

enum class Access { Readable, Missing, Unreadable };
// As the calling process sees it.
Access accessOf(const std::string &path);
bool isExecutable(const std::string &path);

// Standard output of a program run with the current environment, when it ends with 0 within
// a few seconds; empty otherwise.
std::string outputOf(const std::vector<std::string> &command);

// Runs the command (a path) with the current environment and waits a few seconds at most for its
// end: false with the first line it wrote to standard error, or its status, unless it ended with 0.
bool run(const std::vector<std::string> &command, std::string *error);

// Starts the command (found through PATH) in a session of its own, detached from this process
// and with its standard streams on /dev/null; false with the reason when it cannot be executed.
bool startDetached(const std::vector<std::string> &command, std::string *error);

} // namespace System
