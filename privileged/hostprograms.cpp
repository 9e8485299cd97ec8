#include "privileged/hostprograms.h"

#include "platform/programs.h"
#include "storage/axprocess.h"

#include <QDir>
#include <QFileDevice>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const QString serviceManagerRunner = QStringLiteral("/usr/bin/systemd-run");
const QString cloudProgram = QStringLiteral("/usr/bin/managecloud");
constexpr int cloudWaitMs = 30000;
constexpr int runnerWaitMs = 30000;

// A service of the service manager runs in the mount namespace of its sandbox: mounts made there
// never reach the host. The manager's own transient units run outside it.
bool isUnderServiceManager()
{
    return !qEnvironmentVariableIsEmpty("INVOCATION_ID") && QFileInfo::exists(QStringLiteral("/run/systemd/system"));
}

struct Command {
    QString program;
    QStringList arguments;
};

// waitForIt: the runner waits for the unit to end and ends with its exit code, with the unit's
// standard streams its own; otherwise it only queues the start.
Command commandFor(const QString &program, const QStringList &arguments, bool waitForIt)
{
    if (!isUnderServiceManager())
        return {program, arguments};
    QStringList runner{QStringLiteral("--quiet"), QStringLiteral("--collect"), QStringLiteral("--service-type=exec")};
    // A program not waited for may start others and end (the launcher does): they stay.
    runner << (waitForIt ? QStringList{QStringLiteral("--wait"), QStringLiteral("--pipe")}
                         : QStringList{QStringLiteral("--no-block"), QStringLiteral("--property=KillMode=process")});
    return {serviceManagerRunner, runner + QStringList{QStringLiteral("--"), program} + arguments};
}

QString credentialsDirectory()
{
    // systemd's runtime directory of the unit is on the host's /run: the transient unit sees it,
    // unlike this service's private /tmp.
    const QString runtime = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

} // namespace

namespace HostPrograms {

int mountChroot(const QStringList &arguments, const QString &user, const QString &password)
{
    // Owner-only, and removed when this returns, however it returns.
    QTemporaryFile credentials(credentialsDirectory() + QStringLiteral("/ambrix-chroot-XXXXXX"));
    QString credentialsPath;
    if (credentials.open()) {
        credentials.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        credentials.write((QStringLiteral("username=") + user + QStringLiteral("\npassword=") + password
                           + QLatin1Char('\n')).toUtf8());
        credentials.close();
        credentialsPath = credentials.fileName();
    }
    // The order the program has always had: two arguments, the user, two more, the credentials.
    const QStringList programArguments{arguments.value(0), arguments.value(1), user, arguments.value(2),
                                       arguments.value(3), credentialsPath};
    const Command command = commandFor(QString::fromLatin1(Programs::MountChrootProgram), programArguments, true);
    return Programs::exitCodeOf(Programs::run(command.program, command.arguments, -1));
}

bool umountChroot(const QString &argument)
{
    return startDetached(QString::fromLatin1(Programs::UmountChrootProgram), {argument});
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    if (!isUnderServiceManager())
        return Programs::startDetached(program, arguments);
    // The runner wants the program's path; PATH is this service's own.
    const QString path = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return false;
    const Command command = commandFor(path, arguments, false);
    return Programs::run(command.program, command.arguments, runnerWaitMs).succeeded();
}

int managePrinters(const QStringList &arguments)
{
    const Command command = commandFor(QString::fromLatin1(Programs::ManagePrintersProgram), arguments, true);
    return Programs::exitCodeOf(Programs::run(command.program, command.arguments, -1));
}

CloudRun manageCloud(const QStringList &arguments, bool startThenFinish)
{
    CloudRun run;
    const Command command = commandFor(cloudProgram, arguments, true);
    AXProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.program, command.arguments);
    process.closeWriteChannel();
    const bool started = !startThenFinish || process.waitForStarted(cloudWaitMs);
    // A program that never started, or is still running after the waits, has failed: it is ended
    // when its process object goes, and its exit code would read as a success.
    if (!started || !process.waitForFinished(cloudWaitMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.standardOutput = process.readAllStandardOutput();
    run.succeeded = process.exitCode() == 0;
    return run;
}

} // namespace HostPrograms
