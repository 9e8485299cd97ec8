#pragma once

#include <QString>

// Server and user tokens: 64 characters of [A-Za-z0-9]. They are credentials, so they come from
// the system's secure generator.
namespace TokenGenerator {

inline constexpr int TokenLength = 64;

QString newToken();

} // namespace TokenGenerator
