#include "platform/programs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

namespace {

int msecsLeft(const QDeadlineTimer &deadline)
{
    return deadline.isForever() ? -1 : int(qMax<qint64>(0, deadline.remainingTime()));
}

bool start(QProcess &process, const QString &program, const QStringList &arguments, int msecs)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForStarted(msecs);
}

Programs::Result finish(QProcess &process, const QDeadlineTimer &deadline, const QByteArray &standardInput)
{
    Programs::Result result;
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

} // namespace

namespace Programs {

Result run(const QString &program, const QStringList &arguments, int timeoutMs,
           const QByteArray &standardInput)
{
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                  : QDeadlineTimer(timeoutMs);
    QProcess process;
    if (!start(process, program, arguments, deadline.isForever() ? 30000 : msecsLeft(deadline)))
        return Result();
    return finish(process, deadline, standardInput);
}

Result runWithWaits(const QString &program, const QStringList &arguments, int startMs, int finishMs)
{
    QProcess process;
    if (!start(process, program, arguments, startMs))
        return Result();
    return finish(process, QDeadlineTimer(finishMs), QByteArray());
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

QString ownProgramPath(const char *name)
{
    const QString program = QLatin1String(name);
    if (QCoreApplication::instance()) {
        const QString binaries = QCoreApplication::applicationDirPath();
        for (const QString &candidate : {binaries + QLatin1Char('/') + program,
                                         binaries + QStringLiteral("/../lib/ambrix-server/") + program}) {
            if (QFileInfo(candidate).isExecutable())
                return candidate;
        }
    }
    return QStringLiteral("/usr/lib/ambrix-server/") + program;
}

} // namespace Programs
