#include "launchrequest.h"

#include <algorithm>
#include <cctype>
#include <string_view>

bool parseLaunchRequest(int argc, const char *const argv[], LaunchRequest *request)
{
    if ((argc != 7 && argc != 8) || std::string_view(argv[1]) != "-accepteula" || std::string_view(argv[2]) != "-i"
        || std::string_view(argv[4]) != "-s")
        return false;
    request->session = argv[3];
    request->program = argv[5];
    request->path = argv[6];
    request->extra = argc == 8 ? argv[7] : "";
    return true;
}

long sessionProcess(const std::string &session)
{
    if (session.empty() || session.size() > 9
        || !std::all_of(session.begin(), session.end(), [](unsigned char c) { return std::isdigit(c); }))
        return -1;
    const long pid = std::stol(session);
    // Process 1 is init, never a login session.
    return pid > 1 ? pid : -1;
}

bool isExplorer(const std::string &program)
{
    static const std::string_view shell = "explorer.exe";
    if (program.size() < shell.size())
        return false;
    const std::string_view end = std::string_view(program).substr(program.size() - shell.size());
    return std::equal(end.begin(), end.end(), shell.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

std::string linuxPath(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}
