#pragma once

#include <QString>
#include <QtDebug>

// The log file beside the settings: one time-stamped line per error or information entry.
// Lines from different threads never interleave; the file is opened and closed per line.
namespace Log {

void error(const QString &message);
void info(const QString &message);

// Whether the debug channel prints anything: callers skip building debug text when it doesn't.
bool debugEnabled();

// Where entries go instead of the file: a process that may not write the log file (the serving
// process, once it has given up its privileges) hands each entry, escaped, to one that may.
using EntryWriter = void (*)(bool isError, const QString &escapedMessage);
void setEntryWriter(EntryWriter writer);

} // namespace Log

// A debug line whose text is built only when the debug channel is on (qDebug alone formats its
// arguments first): the packaged service runs with the channel off.
#define AX_DEBUG(...) \
    for (bool axDebugOn = Log::debugEnabled(); axDebugOn; axDebugOn = false) qDebug(__VA_ARGS__)
