#include "base/log.h"
#include "base/settings.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QtDebug>

#include <algorithm>
#include <atomic>

namespace {

QMutex &logLock()
{
    // Never destroyed: detached connection threads may still log while the process exits.
    static QMutex *lock = new QMutex;
    return *lock;
}

// Client text reaches the log: a control character in it must neither start a line of its own
// nor steer the terminal of whoever reads the file. A backslash stays as it is: names and paths
// written the Windows way keep their look, and no line can be forged without a line end.
QString escapedControls(const QString &message)
{
    const auto isControl = [](QChar c) { return c.category() == QChar::Other_Control; };
    if (std::none_of(message.cbegin(), message.cend(), isControl))
        return message;
    QString result;
    for (const QChar c : message) {
        if (!isControl(c))
            result += c;
        else if (c == QLatin1Char('\n'))
            result += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            result += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            result += QLatin1String("\\t");
        else
            result += QLatin1String("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
    }
    return result;
}

std::atomic<Log::EntryWriter> entryWriter{nullptr};
std::atomic<Log::StructuredWriter> structuredWriter{nullptr};
thread_local Log::Context threadContext;

void appendLine(const QString &message)
{
    QMutexLocker locker(&logLock());
    QFile file(Settings::logPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    // RFC 2822 without weekday, e.g. "06 Dec 2026 17:10:31 +0000"; month names are English.
    QByteArray line = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8();
    line += " - ";
    line += message.toUtf8();
    line += "\r\n";
    file.write(line);
}

void writeEntry(bool isError, const QString &text)
{
    if (const Log::StructuredWriter writer = structuredWriter.load())
        writer(isError, text, threadContext);
    if (const Log::EntryWriter writer = entryWriter.load())
        writer(isError, text);
    else
        appendLine((isError ? QStringLiteral("Error: ") : QStringLiteral("Info: ")) + text);
}

} // namespace

namespace Log {

// The debug channel gets the escaped text too: under systemd each of its lines is an entry of
// the journal.
void error(const QString &message)
{
    const QString text = escapedControls(message);
    writeEntry(true, text);
    AX_DEBUG("libnss_ambrix. Error: %s", qUtf8Printable(text));
}

void info(const QString &message)
{
    const QString text = escapedControls(message);
    writeEntry(false, text);
    AX_DEBUG("Info: %s", qUtf8Printable(text));
}

void setEntryWriter(EntryWriter writer)
{
    entryWriter.store(writer);
}

void setStructuredWriter(StructuredWriter writer)
{
    structuredWriter.store(writer);
}

ContextScope::ContextScope(const QString &clientAddress, const char *command, const QString &user)
    : previous(threadContext)
{
    if (!clientAddress.isEmpty())
        threadContext.clientAddress = clientAddress;
    if (command)
        threadContext.command = command;
    if (!user.isEmpty())
        threadContext.user = user;
}

ContextScope::~ContextScope()
{
    threadContext = previous;
}

bool debugEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

} // namespace Log
