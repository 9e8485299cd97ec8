#pragma once

#include <QString>

// Where the server keeps its settings and log, and the keys of the settings file.
// Every reader opens the file afresh: nothing here caches a value.
namespace Settings {

QString installationDirectory();
QString settingsPath();
QString logPath();

// Keys of the "Server" section.
inline constexpr char MySqlServerAddress[] = "Server/MySqlServerAddress";
inline constexpr char MySqlServerPort[] = "Server/MySqlServerPort";
inline constexpr char MySqlUsername[] = "Server/MySqlUsername";
inline constexpr char MySqlPassword[] = "Server/MySqlPassword";
inline constexpr char PrincipalServerAddress[] = "Server/AmbrixPrincipalServerAddress";
inline constexpr char PrincipalServerPort[] = "Server/AmbrixPrincipalServerPort";
inline constexpr char ServerPort[] = "Server/ServerPort";
inline constexpr char AmbrixServer[] = "Server/AmbrixServer";
inline constexpr char ServerToken[] = "Server/ServerToken";
inline constexpr char ConsoleMediaBaseURL[] = "Server/ConsoleMediaBaseURL";
// Where "create_user_folder" and "remove_user_folder" may act: comma-separated directories.
inline constexpr char UserFolderRoots[] = "Server/UserFolderRoots";
inline constexpr char DefaultUserFolderRoots[] = "/home,/srv";
// Host-password checks per client address: this many failures within the window (seconds)
// hold the address back until a whole window has passed since the last one.
inline constexpr char LoginFailureLimit[] = "Server/LoginFailureLimit";
inline constexpr int DefaultLoginFailureLimit = 5;
inline constexpr char LoginFailureWindow[] = "Server/LoginFailureWindow";
inline constexpr int DefaultLoginFailureWindow = 60;
// Strict privilege: changes to accounts, groups, folders, tokens and registrations need a login
// with administrator privilege, which an empty admin group no longer grants.
inline constexpr char RequireAdminGroup[] = "Server/RequireAdminGroup";
// The domain whose controller LOGONSERVER names: an account allowed to manage users and groups
// with its password, or Kerberos with the host's keytab; and the domain's Kerberos realm.
inline constexpr char DomainUser[] = "Server/DomainUser";
inline constexpr char DomainPassword[] = "Server/DomainPassword";
inline constexpr char DomainUseKerberos[] = "Server/DomainUseKerberos";
inline constexpr char DomainRealm[] = "Server/DomainRealm";
// The entry of a server role; the role names are listed in registration/serverregistry.h.
inline QString roleKey(const char *roleName)
{
    return QStringLiteral("Server/") + QLatin1String(roleName);
}

// Connection parameters of the catalogue database, read with their defaults.
struct DatabaseParameters {
    QString host;
    int port = 3306;
    QString user;
    QString password;
};
DatabaseParameters readDatabaseParameters();

bool requiresAdminGroup();

} // namespace Settings
