#include "app/settings.h"

#include <QSettings>

#include <cstdlib>

namespace Settings {

QString installationDirectory()
{
    // Built as bytes from the environment, then read as UTF-8; unset gives "/Ambrix Server/".
    QByteArray dir(std::getenv("PROGRAMW6432"));
    dir += "/Ambrix Server/";
    return QString::fromUtf8(dir);
}

QString settingsPath()
{
    return installationDirectory() + QStringLiteral("ambrix-server.ini");
}

QString logPath()
{
    return installationDirectory() + QStringLiteral("ambrix-server.log");
}

DatabaseParameters readDatabaseParameters()
{
    QSettings settings(settingsPath(), QSettings::IniFormat);
    DatabaseParameters p;
    p.host = settings.value(MySqlServerAddress, QStringLiteral("localhost")).toString();
    p.port = settings.value(MySqlServerPort, 3306).toInt();
    p.user = settings.value(MySqlUsername, QStringLiteral("root")).toString();
    p.password = settings.value(MySqlPassword, QString()).toString();
    return p;
}

bool requiresAdminGroup()
{
    return QSettings(settingsPath(), QSettings::IniFormat).value(RequireAdminGroup, false).toBool();
}

} // namespace Settings
