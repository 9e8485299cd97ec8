#include "sessionprocesses.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

namespace {

std::string readProcessFile(long pid, const char *name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long sessionIdOf(long pid)
{
    const std::string stat = readProcessFile(pid, "stat");
    // The command name in parentheses may itself hold blanks and parentheses.
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state;
    long parent = 0, group = 0, session = -1;
    fields >> state >> parent >> group >> session;
    return fields ? session : -1;
}

// The first definition of a name wins, as for getenv().
std::map<std::string, std::string> environmentOf(long pid)
{
    std::map<std::string, std::string> variables;
    std::istringstream entries(readProcessFile(pid, "environ"));
    std::string entry;
    while (std::getline(entries, entry, '\0')) {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos && equals > 0)
            variables.emplace(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return variables;
}

bool hasDisplay(const std::map<std::string, std::string> &variables)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const auto found = variables.find(name);
        if (found != variables.end() && !found->second.empty())
            return true;
    }
    return false;
}

} // namespace

namespace SessionProcesses {

long ownerOf(long pid)
{
    std::istringstream status(readProcessFile(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 4, "Uid:") == 0) {
            std::istringstream ids(line.substr(4));
            long uid = -1;
            ids >> uid;
            return ids ? uid : -1;
        }
    }
    return -1;
}

std::vector<long> processesOf(long uid, const std::function<bool(long)> &belongs)
{
    std::vector<long> members;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const long pid = std::stol(name);
        if (ownerOf(pid) == uid && belongs(pid))
            members.push_back(pid);
    }
    std::sort(members.begin(), members.end());
    return members;
}

std::vector<long> kernelSession(long pid, long uid)
{
    std::vector<long> candidates{pid};
    const long session = sessionIdOf(pid);
    if (session <= 0)
        return candidates;
    const std::vector<long> members =
        processesOf(uid, [pid, session](long other) { return other != pid && sessionIdOf(other) == session; });
    candidates.insert(candidates.end(), members.begin(), members.end());
    return candidates;
}

std::vector<std::string> graphicalEnvironment(const std::vector<long> &candidates, const std::vector<std::string> &names)
{
    for (const long candidate : candidates) {
        const std::map<std::string, std::string> variables = environmentOf(candidate);
        if (!hasDisplay(variables))
            continue;
        std::vector<std::string> found;
        for (const std::string &name : names) {
            const auto it = variables.find(name);
            if (it != variables.end())
                found.push_back(name + "=" + it->second);
        }
        return found;
    }
    return {};
}

} // namespace SessionProcesses
