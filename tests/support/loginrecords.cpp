#include "loginrecords.h"

#include <QFile>
#include <QScopeGuard>

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

// A line and an id of our own per process, so records never replace another session's.
void fillIdentity(utmpx *entry, qint64 pid)
{
    const QByteArray line = "axt/" + QByteArray::number(pid);
    strncpy(entry->ut_line, line.constData(), sizeof entry->ut_line);
    const QByteArray id = "x" + QByteArray::number(pid % 46656, 36).rightJustified(3, '0');
    strncpy(entry->ut_id, id.constData(), sizeof entry->ut_id);
    entry->ut_pid = static_cast<pid_t>(pid);
}

bool write(const utmpx &entry)
{
    setutxent();
    const auto close = qScopeGuard([] { endutxent(); });
    return pututxline(&entry) != nullptr;
}

} // namespace

LoginRecords::LoginRecords()
{
    if (!QFile::exists(QStringLiteral(_PATH_UTMPX))) {
        const int fd = ::open(_PATH_UTMPX, O_WRONLY | O_CREAT | O_EXCL, 0664);
        if (fd >= 0) {
            createdFile = true;
            if (const group *utmp = getgrnam("utmp"))
                (void)fchown(fd, 0, utmp->gr_gid);
            ::close(fd);
        }
    }
}

LoginRecords::~LoginRecords()
{
    const QList<qint64> remaining = pids;
    for (const qint64 pid : remaining)
        end(pid);
    if (createdFile) {
        // Only when no live session was recorded meanwhile by someone else.
        bool hasSessions = false;
        setutxent();
        while (const utmpx *entry = getutxent())
            hasSessions = hasSessions || entry->ut_type == USER_PROCESS;
        endutxent();
        if (!hasSessions)
            QFile::remove(QStringLiteral(_PATH_UTMPX));
    }
}

bool LoginRecords::add(qint64 pid, const QString &userName)
{
    utmpx entry;
    memset(&entry, 0, sizeof entry);
    entry.ut_type = USER_PROCESS;
    fillIdentity(&entry, pid);
    const QByteArray user = userName.toLocal8Bit();
    strncpy(entry.ut_user, user.constData(), sizeof entry.ut_user);
    timeval now;
    gettimeofday(&now, nullptr);
    entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(now.tv_sec);
    entry.ut_tv.tv_usec = static_cast<decltype(entry.ut_tv.tv_usec)>(now.tv_usec);
    if (!write(entry))
        return false;
    pids.append(pid);
    return true;
}

void LoginRecords::end(qint64 pid)
{
    if (!pids.removeOne(pid))
        return;
    utmpx entry;
    memset(&entry, 0, sizeof entry);
    entry.ut_type = DEAD_PROCESS;
    fillIdentity(&entry, pid);
    timeval now;
    gettimeofday(&now, nullptr);
    entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(now.tv_sec);
    write(entry);
}
