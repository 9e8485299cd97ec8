#include "loginrecords.h"

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/time.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

// A record with a line and an id of our own per process, so it never replaces another session's.
bool write(short type, qint64 pid, const QString &userName = QString())
{
    utmpx entry;
    memset(&entry, 0, sizeof entry);
    entry.ut_type = type;
    const QByteArray line = "axt/" + QByteArray::number(pid);
    // Four characters of 64 hold every process id (pid_max is at most 2^22), so two live records
    // of concurrent tests never share an id and replace each other.
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-";
    QByteArray id(4, '0');
    for (int i = 3, rest = int(pid); i >= 0; --i, rest /= 64)
        id[i] = digits[rest % 64];
    const QByteArray user = userName.toLocal8Bit();
    strncpy(entry.ut_line, line.constData(), sizeof entry.ut_line);
    strncpy(entry.ut_id, id.constData(), sizeof entry.ut_id);
    strncpy(entry.ut_user, user.constData(), sizeof entry.ut_user);
    entry.ut_pid = static_cast<pid_t>(pid);
    timeval now;
    gettimeofday(&now, nullptr);
    entry.ut_tv.tv_sec = static_cast<decltype(entry.ut_tv.tv_sec)>(now.tv_sec);
    entry.ut_tv.tv_usec = static_cast<decltype(entry.ut_tv.tv_usec)>(now.tv_usec);
    setutxent();
    const bool written = pututxline(&entry) != nullptr;
    endutxent();
    return written;
}

} // namespace

bool LoginRecords::areTheSessionSource()
{
    return ::access("/run/systemd/system/", F_OK) != 0 || ::access("/run/systemd/seats/", F_OK) != 0;
}

LoginRecords::LoginRecords()
{
    const int fd = ::open(_PATH_UTMPX, O_WRONLY | O_CREAT | O_EXCL, 0664);
    if (fd >= 0) {
        if (const group *utmp = getgrnam("utmp"))
            (void)fchown(fd, 0, utmp->gr_gid);
        ::close(fd);
    }
}

LoginRecords::~LoginRecords()
{
    // A file made for the purpose stays, holding ended records only: removing it would lose the
    // records another test process is writing into it at that moment.
    for (const qint64 pid : QList<qint64>(pids))
        end(pid);
}

bool LoginRecords::add(qint64 pid, const QString &userName)
{
    if (!write(USER_PROCESS, pid, userName))
        return false;
    pids.append(pid);
    return true;
}

void LoginRecords::end(qint64 pid)
{
    if (pids.removeOne(pid))
        write(DEAD_PROCESS, pid);
}
