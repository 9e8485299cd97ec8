#include "catalogue/sessionlauncher.h"

#include "app/log.h"
#include "platform/programs.h"
#include "platform/regularfile.h"
#include "platform/sessions.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStringList>
#include <QtDebug>

SessionLauncher &SessionLauncher::instance()
{
    static SessionLauncher launcher;
    return launcher;
}

void SessionLauncher::appendDiagnostic(const QString &line)
{
    QMutexLocker locker(&mutex);
    diagnostics += line;
}

QString SessionLauncher::diagnosticText() const
{
    QMutexLocker locker(&mutex);
    return diagnostics;
}

int SessionLauncher::userSessionId(const QString &userName)
{
    int sessionId = -1;
    const QList<Sessions::Session> sessions = Sessions::list();
    for (const Sessions::Session &session : sessions) {
        AX_DEBUG("SessionId: %d, data: '%s', username: '%s'", session.id,
               qUtf8Printable(session.userName), qUtf8Printable(userName));
        instance().appendDiagnostic(QStringLiteral("SessionId: %1, data: '%2', username: '%3'\n")
                                        .arg(session.id).arg(session.userName, userName));
        // A later match replaces an earlier one.
        if (session.userName.toLower() == userName.toLower())
            sessionId = session.id;
    }
    return sessionId;
}

QString SessionLauncher::openFile(const QString &userName, const QString &path, const QString &extra)
{
    Log::info(QStringLiteral("Opening file %1...").arg(path));
    QString convertedPath = path;
    convertedPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
    QStringList arguments{QStringLiteral("-accepteula"), QStringLiteral("-i"),
                          QString::number(userSessionId(userName)), QStringLiteral("-s"),
                          qEnvironmentVariable("WINDIR") + QStringLiteral("\\explorer.exe"),
                          convertedPath};
    const QString program = QString::fromLatin1(Programs::PsexecProgram);

    // The server runs as root and the path comes from the client: the log goes only beside
    // an object that exists, and never through a link or into anything but a plain file.
    QFile launchLog;
    if (QFileInfo::exists(path) && RegularFile::openTruncated(&launchLog, path + QStringLiteral(".log"))) {
        launchLog.write((program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QLatin1Char('\n')).toUtf8());
        launchLog.write(instance().diagnosticText().toUtf8());
        launchLog.close();
    }

    if (!extra.isEmpty())
        arguments.append(extra);
    Log::info(QStringLiteral("Running: '%1 %2'").arg(program, arguments.join(QLatin1Char(' '))));
    Programs::startDetached(program, arguments);
    return convertedPath;
}
