#include "accounts/userfolder.h"

QString UserFolder::homeSharePath(const QString &computerName) const
{
    return QStringLiteral("\\\\") + computerName.simplified() + QLatin1Char('\\') + userName.simplified();
}

QString UserFolder::profilePath(const QString &computerName) const
{
    return homeSharePath(computerName) + QStringLiteral("\\profile");
}
