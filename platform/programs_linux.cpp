#include "platform/programs.h"

#include <QDeadlineTimer>
#include <QProcess>

namespace {

int msecsLeft(const QDeadlineTimer &deadline)
{
    return deadline.isForever() ? -1 : int(qMax<qint64>(0, deadline.remainingTime()));
}

} // namespace

namespace Programs {

Result run(const QString &program, const QStringList &arguments, int timeoutMs,
           const QByteArray &standardInput)
{
    Result result;
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                  : QDeadlineTimer(timeoutMs);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(deadline.isForever() ? 30000 : msecsLeft(deadline)))
        return result;
    result.started = true;
    if (!standardInput.isEmpty())
        process.write(standardInput);
    process.closeWriteChannel();
    // waitForFinished() answers false for a program that has already ended: ask the state.
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(msecsLeft(deadline))) {
        result.timedOut = true;
        process.kill();
        process.waitForFinished(5000);
    }
    result.standardOutput = process.readAllStandardOutput();
    result.crashed = !result.timedOut && process.exitStatus() == QProcess::CrashExit;
    if (result.exited())
        result.exitCode = process.exitCode();
    return result;
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

int exitCodeOf(const Result &result)
{
    if (!result.started)
        return -2;
    if (result.crashed || result.timedOut)
        return -1;
    return result.exitCode;
}

} // namespace Programs
