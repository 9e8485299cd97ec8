#include "base/settings.h"

#include "base/log.h"

#include "base/filestamp.h"

#include <QDir>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>

#include <cstdlib>
#include <memory>

namespace {

using Values = QHash<QString, QVariant>;

// The settings file's values as last parsed, parsed again as soon as the file is not the same
// any more: a reader still sees the file as it is at that moment, for one stat instead of a
// parse (which costs connection churn a tenth of its rate).
class SettingsSnapshot
{
public:
    std::shared_ptr<const Values> current(const QString &path)
    {
        const FileStamp stamp = FileStamp::of(path);
        {
            QMutexLocker locker(&lock);
            if (values && path == parsedPath && (stamp == parsedStamp || stamp == unreadableStamp))
                return values;
        }
        // Parsed outside the lock: reading the file must not hold up other readers.
        auto fresh = std::make_shared<Values>();
        const QSettings settings(path, QSettings::IniFormat);
        const QStringList keys = settings.allKeys();
        for (const QString &k : keys)
            fresh->insert(k, settings.value(k));
        QMutexLocker locker(&lock);
        // A file this process may no longer read (replaced by an editor with another group, say)
        // must not turn every setting into its default: the last values read stay.
        if (settings.status() == QSettings::AccessError && values && path == parsedPath) {
            const bool isNew = stamp != unreadableStamp;
            unreadableStamp = stamp;
            const std::shared_ptr<const Values> kept = values;
            locker.unlock();
            if (isNew)
                Log::error(QStringLiteral("The settings file %1 cannot be read; the values read before stay in use").arg(path));
            return kept;
        }
        values = fresh;
        parsedStamp = stamp;
        parsedPath = path;
        return values;
    }

private:
    QMutex lock;
    FileStamp parsedStamp;
    FileStamp unreadableStamp;
    QString parsedPath;
    std::shared_ptr<const Values> values;
};

std::shared_ptr<const Values> currentValues()
{
    static SettingsSnapshot *snapshot = new SettingsSnapshot; // never destroyed: threads outlive main
    return snapshot->current(Settings::settingsPath());
}

QVariant valueIn(const Values &values, const char *key, const QVariant &defaultValue)
{
    return values.value(QLatin1String(key), defaultValue);
}

// The INI format reads an unquoted value with commas as a list: "db1,db2" is two entries.
QString textIn(const Values &values, const char *key, const QString &defaultValue)
{
    const QVariant v = valueIn(values, key, defaultValue);
    return v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
}

// Nonsense (zero, negative, not a number) falls back to the default.
int positiveIn(const Values &values, const char *key, int defaultValue)
{
    bool ok = false;
    const int n = valueIn(values, key, QVariant()).toInt(&ok);
    return ok && n > 0 ? n : defaultValue;
}

QString absolutePathIn(const Values &values, const char *key)
{
    const QString path = textIn(values, key, QString()).trimmed();
    return path.startsWith(QLatin1Char('/')) ? path : QString();
}

} // namespace

namespace Settings {

QVariant value(const char *key, const QVariant &defaultValue)
{
    return valueIn(*currentValues(), key, defaultValue);
}

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

QString cacheDirectory()
{
    // systemd gives a colon-separated list when a unit names several cache directories.
    const QString configured = qEnvironmentVariable("CACHE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return QDir::cleanPath(configured.isEmpty() ? QStringLiteral("/var/cache/ambrix-server") : configured);
}

QString mediaDirectory()
{
    return cacheDirectory() + QStringLiteral("/media");
}

DatabaseParameters readDatabaseParameters()
{
    const std::shared_ptr<const Values> values = currentValues(); // one state of the file for all
    DatabaseParameters p;
    p.host = textIn(*values, MySqlServerAddress, QStringLiteral("localhost"));
    p.port = valueIn(*values, MySqlServerPort, 3306).toInt();
    p.user = valueIn(*values, MySqlUsername, QStringLiteral("root")).toString();
    p.password = valueIn(*values, MySqlPassword, QString()).toString();
    // Nonsense (zero, negative, not a number) falls back to the default.
    bool ok = false;
    const int size = valueIn(*values, MySqlPoolSize, QVariant()).toInt(&ok);
    p.poolSize = ok && size > 0 ? size : DefaultMySqlPoolSize;
    const int timeout = valueIn(*values, MySqlBorrowTimeout, QVariant()).toInt(&ok);
    p.borrowTimeoutSeconds = ok && timeout >= 0 ? timeout : DefaultMySqlBorrowTimeout;
    return p;
}

ClientLimits readClientLimits()
{
    const std::shared_ptr<const Values> values = currentValues();
    return {positiveIn(*values, MaxClients, DefaultMaxClients),
            positiveIn(*values, MaxClientsPerAddress, DefaultMaxClientsPerAddress)};
}

int preLoginIdleTimeoutMsecs()
{
    // Within what poll() takes: about 23 days at most.
    return 1000 * qMin(2000000, positiveIn(*currentValues(), PreLoginIdleTimeout, DefaultPreLoginIdleTimeout));
}

QStringList userFolderRoots()
{
    // Unquoted in the file, "a,b" reads as a list; quoted, as one text: both are accepted.
    const QStringList values = value(UserFolderRoots, QString::fromLatin1(DefaultUserFolderRoots)).toStringList();
    QStringList roots;
    for (const QString &entry : values) {
        for (const QString &root : entry.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString trimmed = root.trimmed();
            if (trimmed.startsWith(QLatin1Char('/')))
                roots.append(trimmed);
        }
    }
    return roots;
}

bool requiresAdminGroup()
{
    return value(RequireAdminGroup, false).toBool();
}

int tlsPort()
{
    const int port = positiveIn(*currentValues(), TlsPort, DefaultTlsPort);
    return port <= 65535 ? port : DefaultTlsPort;
}

bool plainListenerOn()
{
    return value(PlainListener, true).toBool();
}

QString tlsCertificatePath()
{
    return absolutePathIn(*currentValues(), TlsCertificate);
}

QString tlsKeyPath()
{
    return absolutePathIn(*currentValues(), TlsKey);
}

PeerTlsMode peerTls()
{
    const QString mode = value(PeerTls, QString()).toString().trimmed().toLower();
    if (mode == QLatin1String("required"))
        return PeerTlsMode::Required;
    return mode == QLatin1String("off") ? PeerTlsMode::Off : PeerTlsMode::Preferred;
}

QString tlsCaFile()
{
    return textIn(*currentValues(), TlsCaFile, QString()).trimmed();
}

QString metricsAddress()
{
    return textIn(*currentValues(), MetricsAddress, QString::fromLatin1(DefaultMetricsAddress)).trimmed();
}

} // namespace Settings
