#include "desktopentry.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

std::string idOf(const fs::path &relative)
{
    std::string id = relative.generic_string();
    std::replace(id.begin(), id.end(), '/', '-');
    return id;
}

std::string findIn(const fs::path &applications, const std::string &id)
{
    std::error_code error;
    if (id.find('/') == std::string::npos && fs::is_regular_file(applications / id, error))
        return (applications / id).string();
    const auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(applications, options, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error) && idOf(it->path().lexically_relative(applications)) == id)
            return it->path().string();
    }
    return std::string();
}

// The escapes of string values: \s \n \t \r \\. Others stay, for the Exec quoting rules.
std::string unescapeValue(const std::string &value)
{
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char next = i + 1 < value.size() ? value[i + 1] : '\0';
        const std::string_view known = "s\\ntr";
        if (value[i] != '\\' || known.find(next) == std::string_view::npos) {
            result += value[i];
            continue;
        }
        result += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : '\\';
        ++i;
    }
    return result;
}

} // namespace

namespace DesktopEntry {

std::string find(const std::string &id, const std::vector<std::string> &dataDirectories)
{
    if (id.empty() || id.find("..") != std::string::npos)
        return std::string();
    for (const std::string &directory : dataDirectories) {
        const std::string file = findIn(fs::path(directory) / "applications", id);
        if (!file.empty())
            return file;
    }
    return std::string();
}

bool readExec(const std::string &file, std::string *exec)
{
    std::ifstream in(file);
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inEntry || equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        key.erase(key.find_last_not_of(" \t") + 1);
        if (key == "Exec") {
            std::string value = line.substr(equals + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            *exec = unescapeValue(value);
            return true;
        }
    }
    return false;
}

bool expandExec(const std::string &exec, const std::string &path, std::vector<std::string> *command)
{
    command->clear();
    bool hasFile = false;
    std::size_t i = 0;
    while (true) {
        while (i < exec.size() && (exec[i] == ' ' || exec[i] == '\t'))
            ++i;
        if (i == exec.size())
            break;
        std::string argument;
        bool keep = false;  // an argument of field codes only that all went is dropped
        for (; i < exec.size() && exec[i] != ' ' && exec[i] != '\t'; ++i) {
            if (exec[i] == '"') {
                keep = true;
                // Inside quotes a backslash takes the next character literally; no field codes.
                for (++i; i < exec.size() && exec[i] != '"'; ++i) {
                    if (exec[i] == '\\' && i + 1 < exec.size())
                        ++i;
                    argument += exec[i];
                }
                if (i == exec.size())
                    return false;
            } else if (exec[i] == '%' && i + 1 < exec.size()) {
                const char code = exec[++i];
                if (code == '%') {
                    argument += '%';
                    keep = true;
                } else if (code == 'f' || code == 'F' || code == 'u' || code == 'U') {
                    argument += path;
                    keep = hasFile = true;
                }
            } else {
                argument += exec[i];
                keep = true;
            }
        }
        if (keep)
            command->push_back(argument);
    }
    if (command->empty() || command->front().empty())
        return false;
    if (!hasFile)
        command->push_back(path);
    return true;
}

} // namespace DesktopEntry
