#include "host/axsystemcommand.h"
#include "app/log.h"

#include "platform/accounts.h"
#include "platform/metrics.h"
#include "platform/programs.h"
#include "platform/regularfile.h"
#include "platform/sessions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryFile>
#include <QThread>
#include <QtDebug>

namespace {

// Fixed: boot servers serve the clients' files from here.
const QString pxeRoot = QStringLiteral("/var/lib/config");

// A client directory is one entry of the root, never the root itself or a path through it.
bool isSinglePathComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

bool isBelow(const QString &path, const QString &directory)
{
    return QDir::cleanPath(path).startsWith(directory + QLatin1Char('/'));
}

QString exitCodeError(int exitCode)
{
    return AXSystemCommand::tr("Error %1").arg(exitCode);
}

} // namespace

QString AXSystemCommand::replyForExitCode(int exitCode)
{
    return exitCode == 0 ? QStringLiteral("Ok") : exitCodeError(exitCode);
}

QString AXSystemCommand::systemMemory()
{
    // A machine whose figures cannot be read reports nothing in use of nothing.
    const Metrics::Memory memory = Metrics::memory();
    return QStringLiteral("%1/%2").arg(memory.used).arg(memory.total);
}

QString AXSystemCommand::systemDiskSpace()
{
    QStringList entries;
    const QList<Metrics::Disk> disks = Metrics::fixedDisks();
    for (const Metrics::Disk &disk : disks)
        entries.append(QStringLiteral("\"%1\"/%2/%3").arg(disk.root).arg(disk.used).arg(disk.total));
    return entries.join(QLatin1Char(','));
}

QString AXSystemCommand::systemLoad()
{
    double load = 0.0;
    const Metrics::ProcessorTimes first = Metrics::processorTimes();
    Metrics::ProcessorTimes second;
    if (first.ok) {
        QThread::msleep(250);
        second = Metrics::processorTimes();
    }
    if (first.ok && second.ok) {
        const double total = static_cast<double>(second.total - first.total);
        const double idle = static_cast<double>(second.idle - first.idle);
        if (total > 0)
            load = (total - idle) * 100.0 / total;
    } else {
        AX_DEBUG("Something failed getting system times");
    }
    return QString::number(load, 'f', 2);
}

QString AXSystemCommand::killSession(const QString &name)
{
    const QList<Sessions::Session> sessions = Sessions::list();
    for (const Sessions::Session &session : sessions) {
        // Only the first of the user's sessions goes, and never one of root or of a system
        // account: the platform manages its users, not the host.
        if (session.userName.toLower() == name.toLower()) {
            if (!Accounts::isSystemAccount(session.userName))
                Sessions::logoff(session.id);
            break;
        }
    }
    return QString();
}

QString AXSystemCommand::setPxeConfigFile(const QString &mac, const QString &fileName, const QByteArray &contents)
{
    AX_DEBUG("Mac address: %s, file name: %s, file contents: %s", qUtf8Printable(mac),
           qUtf8Printable(fileName), contents.constData());
    const QString client = mac.toLower();
    const QString clientDirectory = pxeRoot + QLatin1Char('/') + client;
    const QString createError = tr("Error: Cannot create dir %1 on %2").arg(client, pxeRoot);
    if (!isSinglePathComponent(client))
        return createError;
    // Only the client's directory is made here; a missing root stays missing.
    if (!QFileInfo::exists(clientDirectory) && !QDir(pxeRoot).mkdir(client))
        return createError;

    const QFileInfo file(fileName);
    const QString targetDirectory = clientDirectory + file.absolutePath();
    const QString target = targetDirectory + QLatin1Char('/') + file.fileName();
    const QString openError = tr("Error: Cannot open file %1 for writing").arg(target);
    const bool isNamedFile = !file.fileName().isEmpty() && file.fileName() != QLatin1String(".")
                             && file.fileName() != QLatin1String("..");
    if (!isNamedFile || !isBelow(target, clientDirectory))
        return openError;
    QDir().mkpath(targetDirectory);
    // Checked again once resolved, so that no link leads the write out of the client's tree.
    const QString resolvedClient = QFileInfo(clientDirectory).canonicalFilePath();
    const QString resolvedTarget = QFileInfo(targetDirectory).canonicalFilePath();
    if (resolvedClient.isEmpty() || resolvedTarget.isEmpty()
        || !(resolvedTarget == resolvedClient || resolvedTarget.startsWith(resolvedClient + QLatin1Char('/'))))
        return openError;

    QFile output;
    if (!RegularFile::openTruncated(&output, target))
        return openError;
    // A short write would leave a broken boot file behind an "Ok".
    if (output.write(contents) != contents.size() || !output.flush())
        return openError;
    return QStringLiteral("Ok");
}

QString AXSystemCommand::removePxeConfigFile(const QString &mac, const QString &fileName)
{
    const QString client = mac.toLower();
    const QString clientDirectory = pxeRoot + QLatin1Char('/') + client;
    // The file name is pasted on as it stands: it normally starts with "/".
    const QString path = clientDirectory + fileName;
    const QString removeError = tr("Error: Cannot remove file %1 (%2)").arg(fileName, path);
    if (!isSinglePathComponent(client))
        return removeError;
    if (!QFileInfo(clientDirectory).isDir())
        return QStringLiteral("Ok");
    if (!isBelow(path, clientDirectory))
        return removeError;
    QFile::remove(path);
    const QFileInfo remains(path);
    if (remains.exists() || remains.isSymLink())
        return removeError;
    return QStringLiteral("Ok");
}

QString AXSystemCommand::mountChroot(const QString &p0, const QString &p1, const QString &userName,
                                     const QString &password, const QString &p3, const QString &p4)
{
    // Owner-only, and removed when this returns, however it returns.
    QTemporaryFile credentials(QDir::tempPath() + QStringLiteral("/ambrix-chroot-XXXXXX"));
    QString credentialsPath;
    if (credentials.open()) {
        credentials.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        credentials.write((QStringLiteral("username=") + userName + QStringLiteral("\npassword=")
                           + password + QLatin1Char('\n')).toUtf8());
        credentials.close();
        credentialsPath = credentials.fileName();
    }
    const QString program = QString::fromLatin1(Programs::MountChrootProgram);
    const QStringList arguments{p0, p1, userName, p3, p4, credentialsPath};
    AX_DEBUG("Running command: %s %s", qUtf8Printable(program), qUtf8Printable(arguments.join(QLatin1Char(' '))));
    return replyForExitCode(Programs::exitCodeOf(Programs::run(program, arguments, -1)));
}

QString AXSystemCommand::umountChroot(const QString &p0)
{
    if (Programs::startDetached(QString::fromLatin1(Programs::UmountChrootProgram), {p0}))
        return QStringLiteral("Ok");
    // Only a failed start can be seen, and it always reports 0.
    return exitCodeError(0);
}
