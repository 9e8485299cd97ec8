#include "app/log.h"
#include "app/settings.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QtDebug>

namespace {

QMutex &logLock()
{
    // Never destroyed: detached connection threads may still log while the process exits.
    static QMutex *lock = new QMutex;
    return *lock;
}

void appendLine(const QString &message)
{
    QMutexLocker locker(&logLock());
    QFile file(Settings::logPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    // RFC 2822 without weekday, e.g. "06 Dec 2026 17:10:31 +0000"; month names are English.
    QByteArray line = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8();
    line += " - ";
    line += message.toUtf8();
    line += "\r\n";
    file.write(line);
}

} // namespace

namespace Log {

void error(const QString &message)
{
    appendLine(QStringLiteral("Error: ") + message);
    qDebug("libnss_ambrix. Error: %s", qUtf8Printable(message));
}

void info(const QString &message)
{
    appendLine(QStringLiteral("Info: ") + message);
    qDebug("Info: %s", qUtf8Printable(message));
}

bool debugEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

} // namespace Log
