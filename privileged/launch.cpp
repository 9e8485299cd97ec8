#include "privileged/launch.h"

#include "platform/accountdatabase.h"
#include "platform/programs.h"
#include "privileged/asuser.h"
#include "privileged/beneath.h"
#include "privileged/hostprograms.h"
#include "privileged/sessions.h"

#include <QFile>
#include <QStringList>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace {

// The whole path walked without following any link, as the user: the log lands only where the
// user could put a file anyway.
int openLogFile(const QByteArray &path)
{
    open_how how{};
    how.flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    how.mode = 0600;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path.constData(), &how, sizeof how);
    if (fd < 0 && errno == ENOSYS)
        fd = ::open(path.constData(), int(how.flags), 0600);
    return int(fd);
}

int writeLaunchLog(const QByteArray &objectPath, const QByteArray &logPath, const QByteArray &content)
{
    struct stat info;
    if (::stat(objectPath.constData(), &info) != 0)
        return 1;
    Descriptor file(openLogFile(logPath));
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1
        || ::fcntl(file.get(), F_SETFL, 0) != 0 || ::ftruncate(file.get(), 0) != 0)
        return 1;
    for (qint64 done = 0; done < content.size();) {
        const ssize_t n = ::write(file.get(), content.constData() + done, size_t(content.size() - done));
        if (n <= 0)
            return 1;
        done += n;
    }
    return 0;
}

} // namespace

namespace Launch {

int openInSession(const QString &userName, const QString &path, const QString &extra)
{
    QString diagnostics;
    const Session session = Sessions::userSession(userName, &diagnostics);
    // The launcher runs as root until it becomes the session's holder: only a session that an
    // ordinary account of this name holds is handed to it.
    const std::optional<AccountDatabase::User> account = Sessions::ordinaryHolder(session, userName);
    const int sessionId = account ? session.id : -1;
    QString convertedPath = path;
    convertedPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
    QStringList arguments{QStringLiteral("-accepteula"), QStringLiteral("-i"), QString::number(sessionId),
                          QStringLiteral("-s"), qEnvironmentVariable("WINDIR") + QStringLiteral("\\explorer.exe"),
                          convertedPath};
    const QString program = QString::fromLatin1(Programs::PsexecProgram);

    if (account) {
        const QByteArray objectPath = QFile::encodeName(path);
        const QByteArray logPath = QFile::encodeName(path + QStringLiteral(".log"));
        const QByteArray content =
            (program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QLatin1Char('\n') + diagnostics).toUtf8();
        AsUser::run(*account, [&](int *) { return writeLaunchLog(objectPath, logPath, content); });
    }

    if (!extra.isEmpty())
        arguments.append(extra);
    // What the user opens runs as the user in the session, not in this service's sandbox.
    HostPrograms::startDetached(program, arguments);
    return sessionId;
}

} // namespace Launch
