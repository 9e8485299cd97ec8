#pragma once

#include <QString>

// The log file beside the settings: one time-stamped line per error or information entry.
// Lines from different threads never interleave; the file is opened and closed per line.
namespace Log {

void error(const QString &message);
void info(const QString &message);

// Whether the debug channel prints anything: callers skip building debug text when it doesn't.
bool debugEnabled();

} // namespace Log
