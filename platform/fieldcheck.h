#pragma once

#include <string>

// The shapes a field of a request to the privileged side may have. The privileged side checks
// every field against its shape before any operation runs (the serving process reads the network
// and may be anybody's by now); the serving process checks the fields that come from clients
// first, to answer them the way each command always has.
enum class FieldKind {
    AccountName,      // a host user or group: one path component, no option, no separator of the account files
    UserName,         // a user as the platform names one: text, not empty
    Password,         // not empty; no NUL or line end (the account tools read lines)
    OptionalPassword, // empty or a Password
    Text,             // up to 1 KiB, may be empty
    LogEntry,         // up to 64 KiB, control characters allowed (the log escapes them)
    LogLevel,         // "error" or "info"
    Path,             // absolute
    OptionalPath,     // empty or a Path
    RelativePath,     // may be empty; components are checked where they are walked
    Argument,         // one argument of a program, as the request gave it
    Operand,          // an Argument that no program would read as an option
    Flag,             // "0" or "1"
    Content,          // bytes of a file, up to 256 KiB
};

namespace FieldCheck {

bool isAcceptable(FieldKind kind, const std::string &field);

// A name that stays one level inside a directory: not empty, ".", "..", and without "/".
bool isPathComponent(const std::string &name);

// Valid UTF-8 without control characters (C0, DEL, C1).
bool isPlainText(const std::string &text);

} // namespace FieldCheck
