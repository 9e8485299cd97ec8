#include "privileged/utmpsessions.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QThread>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

struct LoginRecord {
    pid_t pid;
    qint64 loginTime;   // seconds since the epoch, 0 when the record has none
    QString userName;
};

// The C library reads the login records through one hidden cursor per process, so readers
// take turns. The lock serialises that one stream and guards nothing else.
class LoginRecords
{
public:
    static QList<LoginRecord> userProcesses()
    {
        static LoginRecords records;
        QMutexLocker locker(&records.mutex);
        QList<LoginRecord> result;
        setutxent();
        const auto closeRecords = qScopeGuard([] { endutxent(); });
        while (const utmpx *entry = getutxent()) {
            if (entry->ut_type != USER_PROCESS || entry->ut_pid <= 0)
                continue;
            const size_t length = strnlen(entry->ut_user, sizeof entry->ut_user);
            result.append({entry->ut_pid, static_cast<qint64>(entry->ut_tv.tv_sec),
                           QString::fromLocal8Bit(entry->ut_user, static_cast<int>(length))});
        }
        return result;
    }

private:
    QMutex mutex;
};

struct ProcessStatus {
    char state = 0;
    pid_t group = 0;
    qint64 startTicks = 0;  // clock ticks after boot
};

bool readProcessStatus(pid_t pid, ProcessStatus *status)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = file.readAll();
    // The command name in parentheses may itself hold blanks and parentheses.
    const int nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return false;
    const QList<QByteArray> fields = line.mid(nameEnd + 2).split(' ');
    // fields[0] is the state, [2] the process group, [19] the start time.
    if (fields.size() < 20 || fields[0].isEmpty())
        return false;
    status->state = fields[0].at(0);
    status->group = static_cast<pid_t>(fields[2].toLong());
    status->startTicks = fields[19].toLongLong();
    return true;
}

qint64 bootTime()
{
    QFile file(QStringLiteral("/proc/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.startsWith("btime "))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

// A record outlives its process when the login program is killed before it can clean up, and
// the process id may since belong to another program. Such a record is no session: ending it
// would hit a stranger, and it would hide the user's real session behind it.
bool isLive(const LoginRecord &record, qint64 boot)
{
    ProcessStatus status;
    if (!readProcessStatus(record.pid, &status) || status.state == 'Z')
        return false;
    if (record.loginTime <= 0 || boot < 0)
        return true;
    // Slack for the rounding of both clocks to whole seconds.
    const qint64 started = boot + status.startTicks / sysconf(_SC_CLK_TCK);
    return started <= record.loginTime + 2;
}

bool isGone(pid_t pid)
{
    ProcessStatus status;
    return !readProcessStatus(pid, &status) || status.state == 'Z';
}

bool isGroupGone(pid_t group)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const pid_t pid = static_cast<pid_t>(entry.toLong(&isNumber));
        ProcessStatus status;
        if (isNumber && readProcessStatus(pid, &status) && status.group == group && status.state != 'Z')
            return false;
    }
    return true;
}

} // namespace

QList<Session> UtmpSessions::list() const
{
    const qint64 boot = bootTime();
    QList<Session> sessions;
    const QList<LoginRecord> records = LoginRecords::userProcesses();
    for (const LoginRecord &record : records) {
        if (isLive(record, boot)) {
            Session session;
            session.id = static_cast<int>(record.pid);
            session.userName = record.userName;
            sessions.append(session);
        }
    }
    return sessions;
}

bool UtmpSessions::logoff(const Session &session) const
{
    const pid_t pid = static_cast<pid_t>(session.id);
    ProcessStatus status;
    if (pid <= 1 || pid == getpid() || !readProcessStatus(pid, &status))
        return true;
    // The whole process group goes, unless the server (or init) belongs to it: then only the
    // session's own process does.
    const bool wholeGroup = status.group > 1 && status.group != getpgrp();
    const pid_t target = wholeGroup ? -status.group : pid;
    constexpr std::array<int, 3> escalation{SIGHUP, SIGTERM, SIGKILL};
    for (const int signalNumber : escalation) {
        if (::kill(target, signalNumber) != 0 && errno == ESRCH)
            return true;
        const QDeadlineTimer grace(3000);
        while (true) {
            if (wholeGroup ? isGroupGone(status.group) : isGone(pid))
                return true;
            if (grace.hasExpired())
                break;
            QThread::msleep(50);
        }
    }
    return false;
}
