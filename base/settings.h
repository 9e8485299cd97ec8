#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// Where the server keeps its settings and log, and the keys of the settings file.
// Every read sees the file as it is at that moment: nothing here keeps a value the file no
// longer holds.
namespace Settings {

QString installationDirectory();
QString settingsPath();
QString logPath();
// Where downloaded icons and logos are kept: "$CACHE_DIRECTORY/media" (the first of the unit's
// cache directories), "/var/cache/ambrix-server/media" without one.
QString cacheDirectory();
QString mediaDirectory();

// One key of the settings file as it is now; defaultValue when the file lacks it.
QVariant value(const char *key, const QVariant &defaultValue = QVariant());

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
// Host-password checks per client address and user, and per client address: this many
// failures within the window (seconds) hold the key back until a whole window has passed since
// the last one.
inline constexpr char LoginFailureLimit[] = "Server/LoginFailureLimit";
inline constexpr int DefaultLoginFailureLimit = 5;
inline constexpr char LoginFailureAddressLimit[] = "Server/LoginFailureAddressLimit";
inline constexpr int DefaultLoginFailureAddressLimit = 50;
inline constexpr char LoginFailureWindow[] = "Server/LoginFailureWindow";
inline constexpr int DefaultLoginFailureWindow = 60;
// Strict privilege: changes to accounts, groups, folders, tokens and registrations need a login
// with administrator privilege, which an empty admin group no longer grants.
inline constexpr char RequireAdminGroup[] = "Server/RequireAdminGroup";
// The catalogue database's connection pool: at most this many connections, and how long
// (seconds) a request waits for one before it takes the database as unavailable.
inline constexpr char MySqlPoolSize[] = "Server/MySqlPoolSize";
inline constexpr int DefaultMySqlPoolSize = 16;
inline constexpr char MySqlBorrowTimeout[] = "Server/MySqlBorrowTimeout";
inline constexpr int DefaultMySqlBorrowTimeout = 5;
// Client connections served at once; a new one beyond is closed at once.
inline constexpr char MaxClients[] = "Server/MaxClients";
inline constexpr int DefaultMaxClients = 4096;
// Connections of one client address not logged in at once; a new one beyond is closed at once.
inline constexpr char MaxClientsPerAddress[] = "Server/MaxClientsPerAddress";
inline constexpr int DefaultMaxClientsPerAddress = 256;
// Seconds a connection not logged in may go without a message before it is closed.
inline constexpr char PreLoginIdleTimeout[] = "Server/PreLoginIdleTimeout";
inline constexpr int DefaultPreLoginIdleTimeout = 30;
// The domain whose controller LOGONSERVER names: an account allowed to manage users and groups
// with its password, or Kerberos with the host's keytab; and the domain's Kerberos realm.
inline constexpr char DomainUser[] = "Server/DomainUser";
inline constexpr char DomainPassword[] = "Server/DomainPassword";
inline constexpr char DomainUseKerberos[] = "Server/DomainUseKerberos";
inline constexpr char DomainRealm[] = "Server/DomainRealm";
// The TLS listener, on TlsPort beside the plain one (same address) when the privileged side can
// read the PEM files TlsCertificate (a chain may follow the certificate) and TlsKey name at the
// start. PlainListener=false serves TLS only.
inline constexpr char TlsPort[] = "Server/TlsPort";
inline constexpr int DefaultTlsPort = 4446;
inline constexpr char TlsCertificate[] = "Server/TlsCertificate";
inline constexpr char TlsKey[] = "Server/TlsKey";
inline constexpr char PlainListener[] = "Server/PlainListener";
// Connections to other servers of the platform: "required", "preferred" or "off", and the CA their
// certificates are checked against (the system's trust store when empty).
inline constexpr char PeerTls[] = "Server/PeerTls";
inline constexpr char TlsCaFile[] = "Server/TlsCaFile";
// Where the metrics are served over HTTP ("address:port", an IPv4 address); empty: nowhere.
inline constexpr char MetricsAddress[] = "Server/MetricsAddress";
inline constexpr char DefaultMetricsAddress[] = "127.0.0.1:9445";
// Largest certificate or key file the privileged side reads.
inline constexpr qint64 TlsFileLimit = 256 * 1024;
// The entry of a server role; the role names are listed in registration/serverregistry.h.
inline QString roleKey(const char *roleName)
{
    return QStringLiteral("Server/") + QLatin1String(roleName);
}

// Connection parameters of the catalogue database and its pool, read with their defaults. The
// host may be a list: "host[:port]" entries separated by ",", tried in order.
struct DatabaseParameters {
    QString host;
    int port = 3306;
    QString user;
    QString password;
    int poolSize = DefaultMySqlPoolSize;
    int borrowTimeoutSeconds = DefaultMySqlBorrowTimeout;
};
DatabaseParameters readDatabaseParameters();

// MaxClients and MaxClientsPerAddress from one reading of the file, for the accept loop.
struct ClientLimits {
    int maxClients = DefaultMaxClients;
    int perAddress = DefaultMaxClientsPerAddress;
};
ClientLimits readClientLimits();
int preLoginIdleTimeoutMsecs();

// The folder roots as the operator wrote them: absolute paths only, in order.
QStringList userFolderRoots();

bool requiresAdminGroup();

int tlsPort();
bool plainListenerOn();
// The names of the certificate and key files; empty when not absolute.
QString tlsCertificatePath();
QString tlsKeyPath();
enum class PeerTlsMode { Required, Preferred, Off };
PeerTlsMode peerTls();
QString tlsCaFile();
QString metricsAddress();

} // namespace Settings
