#include "platform/programs.h"

#include <QProcess>

namespace Programs {

Result run(const QString &program, const QStringList &arguments, int timeoutMs,
           const QByteArray &standardInput)
{
    Result result;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs < 0 ? 30000 : timeoutMs))
        return result;
    result.started = true;
    if (!standardInput.isEmpty())
        process.write(standardInput);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        result.timedOut = true;
        process.kill();
        process.waitForFinished(5000);
    }
    result.standardOutput = process.readAllStandardOutput();
    result.crashed = process.exitStatus() == QProcess::CrashExit;
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
