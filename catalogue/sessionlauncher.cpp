#include "catalogue/sessionlauncher.h"

#include "base/log.h"
#include "platform/privileged.h"
#include "platform/programs.h"

#include <QStringList>

QString SessionLauncher::openFile(const QString &userName, const QString &path, const QString &extra)
{
    Log::info(QStringLiteral("Opening file %1...").arg(path));
    QString convertedPath = path;
    convertedPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const int sessionId = Privileged::openInSession(userName, path, extra);
    QStringList arguments{QStringLiteral("-accepteula"), QStringLiteral("-i"), QString::number(sessionId),
                          QStringLiteral("-s"), qEnvironmentVariable("WINDIR") + QStringLiteral("\\explorer.exe"),
                          convertedPath};
    if (!extra.isEmpty())
        arguments.append(extra);
    Log::info(QStringLiteral("Running: '%1 %2'").arg(QLatin1String(Programs::PsexecProgram), arguments.join(QLatin1Char(' '))));
    return convertedPath;
}
