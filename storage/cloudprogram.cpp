#include "storage/cloudprogram.h"
#include "app/log.h"

#include "storage/axprocess.h"

#include <QFileInfo>
#include <QtDebug>

namespace {

const QString programPath = QStringLiteral("/usr/bin/managecloud");
constexpr int waitMs = 30000;

bool readsAsOption(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')))
            return true;
    }
    return false;
}

} // namespace

namespace CloudProgram {

bool isInstalled()
{
    return QFileInfo::exists(programPath);
}

Run run(const QStringList &arguments, Waits waits)
{
    Run result;
    if (readsAsOption(arguments)) {
        AX_DEBUG("Refusing cloud drive arguments that start with '-'");
        return result;
    }
    AXProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(programPath, arguments);
    const bool started = waits == Waits::FinishOnly || process.waitForStarted(waitMs);
    // A program that never started, or is still running after the waits, has failed: it is
    // ended when its process object goes, and its exit code would read as a success.
    if (!started || !process.waitForFinished(waitMs) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.standardOutput = process.readAllStandardOutput();
    result.succeeded = process.exitCode() == 0;
    return result;
}

} // namespace CloudProgram
