#include "platform/processstatus.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    // Files of /proc report a size of 0: read until the end.
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The seconds since the epoch at which the machine booted ("btime" of /proc/stat).
double bootTimeSeconds()
{
    const QList<QByteArray> lines = readProcFile("/proc/stat").split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("btime "))
            return line.mid(6).trimmed().toDouble();
    }
    return 0;
}

} // namespace

namespace ProcessStatus {

Figures read()
{
    Figures f;
    const QByteArray stat = readProcFile("/proc/self/stat");
    // The command name, in parentheses, may hold blanks: the fields counted from its end.
    const int close = stat.lastIndexOf(')');
    if (close > 0) {
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        // Field 3 of stat(5) is the first after the name: utime is 14, stime 15, num_threads 20,
        // starttime 22, vsize 23, rss 24.
        const auto field = [&fields](int n) { return fields.value(n - 3); };
        const double ticks = double(::sysconf(_SC_CLK_TCK));
        const double page = double(::sysconf(_SC_PAGESIZE));
        if (ticks > 0) {
            f.cpuSeconds = (field(14).toDouble() + field(15).toDouble()) / ticks;
            f.startTimeSeconds = bootTimeSeconds() + field(22).toDouble() / ticks;
        }
        f.threads = field(20).toULongLong();
        f.virtualBytes = field(23).toULongLong();
        f.residentBytes = quint64(field(24).toDouble() * page);
    }
    f.openDescriptors = quint64(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0)
        f.maxDescriptors = quint64(limit.rlim_cur);
    return f;
}

} // namespace ProcessStatus
