#include "host/axsystemcommand.h"
#include "base/log.h"

#include "platform/metrics.h"
#include "platform/privileged.h"
#include "platform/privilegedwire.h"
#include "platform/programs.h"

#include <QStringList>
#include <QThread>
#include <QtDebug>

namespace {

// Fixed: boot servers serve the clients' files from here.
const QString pxeRoot = QStringLiteral("/var/lib/config");

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
    // Only the first of the user's sessions goes, and never one of root or of a system account:
    // the platform manages its users, not the host. The privileged side sees to both.
    Privileged::endSession(name);
    return QString();
}

QString AXSystemCommand::setPxeConfigFile(const QString &mac, const QString &fileName, const QByteArray &contents)
{
    AX_DEBUG("Mac address: %s, file name: %s, file contents: %s", qUtf8Printable(mac),
           qUtf8Printable(fileName), contents.constData());
    const QString client = mac.toLower();
    switch (Privileged::writePxeFile(client, fileName, contents)) {
    case PrivilegedWire::PxeDone:
        return QStringLiteral("Ok");
    case PrivilegedWire::PxeNoDirectory:
        return tr("Error: Cannot create dir %1 on %2").arg(client, pxeRoot);
    default:
        return tr("Error: Cannot open file %1 for writing")
            .arg(pxeRoot + QLatin1Char('/') + client + QLatin1Char('/') + fileName.section(QLatin1Char('/'), 0, -1, QString::SectionSkipEmpty));
    }
}

QString AXSystemCommand::removePxeConfigFile(const QString &mac, const QString &fileName)
{
    const QString client = mac.toLower();
    // The file name is pasted on as it stands: it normally starts with "/".
    const QString path = pxeRoot + QLatin1Char('/') + client + fileName;
    if (Privileged::removePxeFile(client, fileName) == PrivilegedWire::PxeDone)
        return QStringLiteral("Ok");
    return tr("Error: Cannot remove file %1 (%2)").arg(fileName, path);
}

QString AXSystemCommand::mountChroot(const QString &p0, const QString &p1, const QString &userName,
                                     const QString &password, const QString &p3, const QString &p4)
{
    AX_DEBUG("Running command: %s %s %s %s %s %s", Programs::MountChrootProgram, qUtf8Printable(p0),
             qUtf8Printable(p1), qUtf8Printable(userName), qUtf8Printable(p3), qUtf8Printable(p4));
    return replyForExitCode(Privileged::mountChroot(p0, p1, userName, password, p3, p4));
}

QString AXSystemCommand::umountChroot(const QString &p0)
{
    if (Privileged::umountChroot(p0))
        return QStringLiteral("Ok");
    // Only a failed start can be seen, and it always reports 0.
    return exitCodeError(0);
}
