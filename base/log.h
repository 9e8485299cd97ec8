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

// Whom the calling thread's entries concern, where known: the journal keeps it as fields.
struct Context {
    QString clientAddress;
    const char *command = nullptr; // a name of the command table, never a client's text
    QString user;
};
// Sets the calling thread's context for the scope's life; empty values keep what was there.
class ContextScope
{
public:
    explicit ContextScope(const QString &clientAddress, const char *command = nullptr, const QString &user = QString());
    ~ContextScope();
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;

private:
    Context previous;
};

// Where each entry also goes, with the thread's context, besides the file.
using StructuredWriter = void (*)(bool isError, const QString &escapedMessage, const Context &context);
void setStructuredWriter(StructuredWriter writer);

} // namespace Log

// A debug line whose text is built only when the debug channel is on (qDebug alone formats its
// arguments first): the packaged service runs with the channel off.
#define AX_DEBUG(...) \
    for (bool axDebugOn = Log::debugEnabled(); axDebugOn; axDebugOn = false) qDebug(__VA_ARGS__)
