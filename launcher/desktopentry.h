#pragma once

#include <string>
#include <vector>

// Desktop entries of the XDG menus: where one lives, and the command its Exec line gives for a file.
namespace DesktopEntry {

// The file of the entry with this id (e.g. "org.example.Viewer.desktop") under applications/ of
// the first data directory that has one; empty when none has. In subfolders the id is the
// relative path with "-" for "/".
std::string find(const std::string &id, const std::vector<std::string> &dataDirectories);

// The value of the first "Exec" key of the [Desktop Entry] group, string escapes resolved;
// false when there is none.
bool readExec(const std::string &file, std::string *exec);

// The argument list of an Exec value for one file: quoting and escapes resolved, %f %F %u %U
// replaced by path (appended when the value has none of them), %% by %, other field codes
// dropped. False when the quoting is broken or the value names no program.
bool expandExec(const std::string &exec, const std::string &path, std::vector<std::string> *command);

} // namespace DesktopEntry
