#include "usermanager.h"

#include "system.h"

namespace {

const char ServiceManagerRunner[] = "/usr/bin/systemd-run";

// The manager expands "$NAME" in a command's arguments; "$$" is its literal "$".
std::string literal(const std::string &argument)
{
    std::string escaped;
    for (const char c : argument) {
        escaped += c;
        if (c == '$')
            escaped += '$';
    }
    return escaped;
}

} // namespace

namespace UserManager {

bool runsIn(const std::string &runtimeDirectory)
{
    return !runtimeDirectory.empty() && System::accessOf(runtimeDirectory + "/systemd/private") != System::Access::Missing;
}

std::vector<std::string> startCommand(const std::vector<std::string> &command, const std::vector<std::string> &environment)
{
    // A program may hand the file to another and end (an opener does): the other stays.
    std::vector<std::string> runner{ServiceManagerRunner, "--user", "--quiet", "--collect", "--service-type=exec",
                                    "--property=KillMode=process"};
    for (const std::string &entry : environment)
        runner.push_back("--setenv=" + entry);
    runner.push_back("--");
    // The program is found through PATH by the runner itself, by its name as given.
    runner.push_back(command.front());
    for (std::size_t i = 1; i < command.size(); ++i)
        runner.push_back(literal(command[i]));
    return runner;
}

} // namespace UserManager
