#include "net/servertls.h"

#include "base/log.h"
#include "base/settings.h"
#include "platform/privileged.h"
#include "platform/privilegedwire.h"

#include <QMutexLocker>

namespace {

// How often at most the files are looked at again.
constexpr qint64 CheckIntervalMsecs = 1000;

QString unreadable(const char *key, const QString &path)
{
    return QStringLiteral("%1 (%2) cannot be read: missing, not a regular file, a link, or larger than %3 bytes")
        .arg(path, QLatin1String(key).mid(7))
        .arg(Settings::TlsFileLimit);
}

} // namespace

ServerTls &ServerTls::instance()
{
    static ServerTls *tls = new ServerTls; // never destroyed: connection threads outlive main
    return *tls;
}

ServerTls::Source ServerTls::sourceNow()
{
    Source source;
    source.certificatePath = Settings::tlsCertificatePath();
    source.keyPath = Settings::tlsKeyPath();
    source.certificate = FileStamp::of(source.certificatePath);
    source.key = FileStamp::of(source.keyPath);
    return source;
}

bool ServerTls::fetch(QByteArray *certificate, QByteArray *key, QString *error)
{
    const Privileged::TlsCredentials credentials = Privileged::tlsCredentials();
    switch (credentials.status) {
    case PrivilegedWire::TlsRead:
        *certificate = credentials.certificate;
        *key = credentials.key;
        return true;
    case PrivilegedWire::TlsNotConfigured:
        *error = QStringLiteral("TlsCertificate and TlsKey do not both name a file by its absolute path");
        break;
    case PrivilegedWire::TlsCertificateUnreadable:
        *error = unreadable(Settings::TlsCertificate, Settings::tlsCertificatePath());
        break;
    case PrivilegedWire::TlsKeyUnreadable:
        *error = unreadable(Settings::TlsKey, Settings::tlsKeyPath());
        break;
    default:
        *error = QStringLiteral("the privileged side did not hand over the files");
        break;
    }
    return false;
}

bool ServerTls::load(QString *error)
{
    const Source source = sourceNow();
    // Neither named: TLS is simply not wanted, which is no failure to report.
    if (Settings::value(Settings::TlsCertificate).toString().isEmpty()
        && Settings::value(Settings::TlsKey).toString().isEmpty())
        return false;
    QByteArray certificate, key;
    if (!fetch(&certificate, &key, error))
        return false;
    std::shared_ptr<TlsContext> context = TlsContext::forServer(certificate, key, error);
    if (!context)
        return false;
    QMutexLocker locker(&lock);
    current = context;
    built = source;
    builtPem = certificate + key;
    sinceCheck.start();
    return true;
}

std::shared_ptr<TlsContext> ServerTls::context()
{
    {
        QMutexLocker locker(&lock);
        // One thread looks at the files; the others go on with the context there is.
        if (!current || checking || sinceCheck.elapsed() < CheckIntervalMsecs)
            return current;
        checking = true;
        sinceCheck.restart();
    }
    refresh();
    QMutexLocker locker(&lock);
    checking = false;
    return current;
}

void ServerTls::refresh()
{
    const Source now = sourceNow();
    {
        QMutexLocker locker(&lock);
        if (now.isKnown() && (now == built || now == failed))
            return;
    }
    QByteArray certificate, key;
    QString error;
    std::shared_ptr<TlsContext> fresh;
    if (fetch(&certificate, &key, &error)) {
        {
            QMutexLocker locker(&lock);
            if (certificate + key == builtPem) {
                built = now;
                return;
            }
        }
        fresh = TlsContext::forServer(certificate, key, &error);
    }
    QMutexLocker locker(&lock);
    if (fresh) {
        current = fresh;
        built = now;
        builtPem = certificate + key;
        failed = Source();
        lastFailure.clear();
        locker.unlock();
        Log::info(QStringLiteral("TLS certificate and key loaded anew: %1").arg(fresh->subject()));
        return;
    }
    failed = now;
    if (error == lastFailure)
        return;
    lastFailure = error;
    locker.unlock();
    Log::error(QStringLiteral("The TLS certificate and key cannot be used, the ones loaded before stay in use: %1").arg(error));
}
