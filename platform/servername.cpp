#include "platform/servername.h"

#include <QSysInfo>

namespace ServerName {

bool isThisHost(const QString &server)
{
    QString name = server.trimmed();
    while (name.startsWith(QLatin1Char('\\')))
        name.remove(0, 1);
    if (name.isEmpty())
        return true;
    const QString hostName = QSysInfo::machineHostName();
    const QString names[] = {hostName, hostName.section(QLatin1Char('.'), 0, 0),
                             qEnvironmentVariable("COMPUTERNAME"), QStringLiteral("localhost")};
    for (const QString &candidate : names) {
        if (!candidate.isEmpty() && name.compare(candidate, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace ServerName
