#include "platform/metrics.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace {

// A line such as "MemTotal:       24683748 kB".
quint64 meminfoBytes(const QByteArray &contents, const QByteArray &key)
{
    const QList<QByteArray> lines = contents.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).simplified().split(' ').value(0).toULongLong() * 1024;
    }
    return 0;
}

// Mount points in the mount table escape blanks, tabs, newlines and backslashes as octal.
QString decodeMountPath(const QByteArray &field)
{
    QByteArray path;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool isOctal = false;
            const int code = field.mid(i + 1, 3).toInt(&isOctal, 8);
            if (isOctal) {
                path += static_cast<char>(code);
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return QFile::decodeName(path);
}

bool isFixedDisk(dev_t device)
{
    const QString sysPath = QFileInfo(QStringLiteral("/sys/dev/block/%1:%2")
                                          .arg(major(device)).arg(minor(device))).canonicalFilePath();
    if (sysPath.isEmpty())
        return false;
    // A partition's disk is the directory above it.
    const QString disk = QFile::exists(sysPath + QStringLiteral("/partition"))
                             ? QFileInfo(sysPath).path() : sysPath;
    const QString name = QFileInfo(disk).fileName();
    for (const char *virtualKind : {"loop", "ram", "zram", "nbd"}) {
        if (name.startsWith(QLatin1String(virtualKind)))
            return false;
    }
    QFile removable(disk + QStringLiteral("/removable"));
    return removable.open(QIODevice::ReadOnly) && removable.readAll().trimmed() == "0";
}

// The device number of a mount: the device node's, or the mounted tree's when the node is
// missing (as "/dev/root" often is).
bool mountDevice(const QByteArray &device, const QString &mountPoint, dev_t *number)
{
    struct stat info;
    if (stat(device.constData(), &info) == 0 && S_ISBLK(info.st_mode)) {
        *number = info.st_rdev;
        return true;
    }
    if (stat(QFile::encodeName(mountPoint).constData(), &info) == 0) {
        *number = info.st_dev;
        return true;
    }
    return false;
}

} // namespace

namespace Metrics {

Memory memory()
{
    Memory memory;
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return memory;
    const QByteArray contents = file.readAll();
    const quint64 total = meminfoBytes(contents, "MemTotal");
    const quint64 available = meminfoBytes(contents, "MemAvailable");
    if (total == 0 || available > total)
        return memory;
    memory.total = total;
    memory.used = total - available;
    return memory;
}

QList<Disk> fixedDisks()
{
    QList<Disk> disks;
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return disks;
    QSet<quint64> seen;
    const QList<QByteArray> lines = mounts.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 || !fields[0].startsWith("/dev/"))
            continue;
        const QString mountPoint = decodeMountPath(fields[1]);
        dev_t device = 0;
        if (!mountDevice(fields[0], mountPoint, &device) || seen.contains(device))
            continue;
        seen.insert(device);
        if (!isFixedDisk(device))
            continue;
        struct statvfs figures;
        if (statvfs(QFile::encodeName(mountPoint).constData(), &figures) != 0)
            continue;
        Disk disk;
        disk.root = mountPoint;
        disk.total = static_cast<quint64>(figures.f_blocks) * figures.f_frsize;
        disk.used = static_cast<quint64>(figures.f_blocks - figures.f_bfree) * figures.f_frsize;
        disks.append(disk);
    }
    return disks;
}

ProcessorTimes processorTimes()
{
    ProcessorTimes times;
    QFile file(QStringLiteral("/proc/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return times;
    // "cpu  user nice system idle iowait irq softirq steal guest guest_nice"; guest time is
    // already counted in user time.
    const QList<QByteArray> fields = file.readLine().simplified().split(' ');
    if (fields.size() < 9 || fields[0] != "cpu")
        return times;
    for (int i = 1; i <= 8; ++i)
        times.total += fields[i].toULongLong();
    times.idle = fields[4].toULongLong() + fields[5].toULongLong();
    times.ok = times.total > 0;
    return times;
}

} // namespace Metrics
