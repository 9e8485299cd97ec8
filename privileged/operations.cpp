#include "privileged/operations.h"

#include "base/log.h"
#include "base/settings.h"
#include "platform/accountdatabase.h"
#include "platform/fieldcheck.h"
#include "platform/netstatus.h"
#include "platform/privilegedwire.h"
#include "platform/programs.h"
#include "platform/regularfile.h"
#include "privileged/accounttools.h"
#include "privileged/hostprograms.h"
#include "privileged/launch.h"
#include "privileged/pam.h"
#include "privileged/pxefiles.h"
#include "privileged/sessions.h"
#include "privileged/uploads.h"
#include "privileged/userfolders.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <initializer_list>
#include <vector>

namespace {

using namespace PrivilegedWire;
using K = FieldKind;

// The fields of a request after its name, each already checked against its shape.
class Arguments
{
public:
    explicit Arguments(const Wire::Fields &request) : fields(request) {}
    QString text(int i) const { return QString::fromStdString(fields[size_t(i) + 1]); }
    QByteArray bytes(int i) const { return QByteArray::fromStdString(fields[size_t(i) + 1]); }
    bool flag(int i) const { return fields[size_t(i) + 1] == "1"; }

private:
    const Wire::Fields &fields;
};

Outcome status(quint32 value)
{
    Outcome outcome;
    outcome.status = value;
    return outcome;
}

Outcome refused()
{
    return status(Refused);
}

std::string number(qint64 value)
{
    return std::to_string(value);
}

// A second guard behind the serving process's own limits, which a serving process that is no
// longer ours would skip: failed password checks per user name, whoever asks and from wherever,
// at most ten times what one address may fail within the window. Well above what the serving
// process's limits let through from a few addresses, far below what a loop could try.
class PasswordGuard
{
public:
    static PasswordGuard &instance()
    {
        static PasswordGuard *guard = new PasswordGuard; // channel threads may outlive main
        return *guard;
    }

    bool check(const QString &user, const QString &password, bool acceptExpired)
    {
        const qint64 windowMs = 1000 * qMax<qint64>(1, Settings::value(Settings::LoginFailureWindow,
                                                                        Settings::DefaultLoginFailureWindow).toLongLong());
        const int limit = 10 * qMax(1, Settings::value(Settings::LoginFailureAddressLimit,
                                                       Settings::DefaultLoginFailureAddressLimit).toInt());
        const QString key = user.toCaseFolded();
        {
            QMutexLocker locker(&lock);
            QList<qint64> &times = failures[key];
            while (!times.isEmpty() && times.first() <= clock.elapsed() - windowMs)
                times.removeFirst();
            if (times.size() >= limit)
                return false;
            // Reserved before the check, so that checks in flight count too.
            times.append(clock.elapsed());
        }
        const bool ok = Pam::checkPassword(user, password, acceptExpired);
        QMutexLocker locker(&lock);
        if (ok) {
            QList<qint64> &times = failures[key];
            if (!times.isEmpty())
                times.removeLast();
            if (times.isEmpty())
                failures.remove(key);
        }
        return ok;
    }

private:
    PasswordGuard() { clock.start(); }

    QMutex lock;
    QElapsedTimer clock;
    QHash<QString, QList<qint64>> failures;
};

Outcome appendLog(const Arguments &a)
{
    if (a.text(0) == QLatin1String("error"))
        Log::error(a.text(1));
    else
        Log::info(a.text(1));
    return status(0);
}

// An account's home is a user folder, within the operator's folder roots, or none.
bool isAcceptableHome(const QString &home)
{
    return home.isEmpty() || UserFolders::isWithinRoots(home);
}

Outcome addUser(const Arguments &a)
{
    if (!isAcceptableHome(a.text(2)))
        return status(NetStatus::AccessDenied);
    return status(AccountTools::addUser(a.text(0), a.text(1), a.text(2), a.text(3)));
}

Outcome setUserInfo(const Arguments &a)
{
    if (!isAcceptableHome(a.text(2)))
        return status(NetStatus::AccessDenied);
    return status(AccountTools::setUserInfo(a.text(0), a.text(1), a.text(2), a.text(3)));
}

Outcome checkPassword(const Arguments &a)
{
    const bool right = PasswordGuard::instance().check(a.text(0), a.text(1), a.flag(2));
    return status(right ? quint32(NetStatus::Success) : quint32(NetStatus::InvalidPassword));
}

Outcome createUserFolder(const Arguments &a)
{
    const UserFolders::Creation creation = UserFolders::create(a.text(0), a.text(1));
    if (!creation.allowed)
        return refused();
    Outcome outcome;
    outcome.values.push_back(creation.path.toStdString());
    outcome.values.push_back(number(creation.lookupStatus));
    for (const FileAcl::Result result : creation.acls) {
        const AclResult acl = result == FileAcl::Result::Applied  ? AclApplied
                              : result == FileAcl::Result::NotBuilt ? AclNotBuilt
                                                                    : AclNotApplied;
        outcome.values.push_back(number(acl));
    }
    outcome.values.push_back(number(creation.shareStatus));
    return outcome;
}

Outcome removeUserFolder(const Arguments &a)
{
    const UserFolders::Removal removal = UserFolders::remove(a.text(0), a.text(1));
    return removal.allowed ? status(removal.shareStatus) : refused();
}

Outcome openUploadFile(const Arguments &a)
{
    const Uploads::Target target = Uploads::open(a.text(0), a.text(1), a.text(2));
    Outcome outcome = status(target.status);
    outcome.descriptor = target.descriptor;
    return outcome;
}

Outcome openInSession(const Arguments &a)
{
    Outcome outcome;
    outcome.values.push_back(number(Launch::openInSession(a.text(0), a.text(1), a.text(2))));
    return outcome;
}

Outcome endSession(const Arguments &a)
{
    Sessions::endUserSession(a.text(0));
    return status(0);
}

Outcome exitCode(int code)
{
    Outcome outcome;
    outcome.values.push_back(number(code));
    return outcome;
}

// The user's printers are named after the user; a domain backslash is no use in a name.
QString printerPrefix(const QString &userName)
{
    QString prefix = userName + QStringLiteral("_GCP_");
    return prefix.replace(QLatin1Char('\\'), QLatin1Char('_'));
}

Outcome printerChange(const char *action, const Arguments &a)
{
    return exitCode(HostPrograms::managePrinters({QString::fromLatin1(action), a.text(0), a.text(1), a.text(2),
                                                  printerPrefix(a.text(3)), a.text(3)}));
}

Outcome manageCloud(const Arguments &a)
{
    static const QStringList actions{QStringLiteral("list"), QStringLiteral("mount"), QStringLiteral("start"),
                                     QStringLiteral("stop"), QStringLiteral("unconfigure")};
    if (!actions.contains(a.text(2)))
        return refused();
    QStringList arguments{a.text(0), a.text(1), a.text(2)};
    if (!a.text(3).isEmpty())
        arguments.append(a.text(3));
    const HostPrograms::CloudRun run = HostPrograms::manageCloud(arguments, a.flag(4));
    Outcome outcome;
    outcome.values = {run.succeeded ? "1" : "0", run.standardOutput.toStdString()};
    return outcome;
}

Outcome hostKeytab(const Arguments &)
{
    // The keytab Kerberos would use: KRB5_KTNAME as the server was started with, or the default.
    QString name = qEnvironmentVariable("KRB5_KTNAME", QStringLiteral("/etc/krb5.keytab"));
    for (const char *prefix : {"FILE:", "WRFILE:"}) {
        if (name.startsWith(QLatin1String(prefix)))
            name = name.mid(int(qstrlen(prefix)));
    }
    QFile keytab(name);
    if (!name.startsWith(QLatin1Char('/')) || !keytab.open(QIODevice::ReadOnly) || keytab.size() > Wire::maxFrameSize / 2)
        return status(NetStatus::NetNameNotFound);
    Outcome outcome;
    outcome.values.push_back(keytab.readAll().toStdString());
    return outcome;
}

// The names come from the settings as this side reads them, never from the serving process, which
// cannot read the key itself (it is root's alone) and may not be ours any more.
Outcome tlsCredentials(const Arguments &)
{
    const QString certificatePath = Settings::tlsCertificatePath();
    const QString keyPath = Settings::tlsKeyPath();
    if (certificatePath.isEmpty() || keyPath.isEmpty())
        return status(TlsNotConfigured);
    QByteArray certificate, key;
    if (!RegularFile::readAll(certificatePath, &certificate, Settings::TlsFileLimit))
        return status(TlsCertificateUnreadable);
    if (!RegularFile::readAll(keyPath, &key, Settings::TlsFileLimit))
        return status(TlsKeyUnreadable);
    Outcome outcome;
    outcome.values = {certificate.toStdString(), key.toStdString()};
    return outcome;
}

struct Operation {
    const char *name;
    std::vector<FieldKind> fields;
    Outcome (*run)(const Arguments &arguments);
};

const Operation operations[] = {
    {AppendLog, {K::LogLevel, K::LogEntry}, appendLog},
    {Alive, {}, [](const Arguments &) { return status(0); }},
    {AddUser, {K::AccountName, K::Text, K::OptionalPath, K::OptionalPassword}, addUser},
    {DeleteUser, {K::AccountName}, [](const Arguments &a) { return status(AccountTools::deleteUser(a.text(0))); }},
    {SetUserInfo, {K::AccountName, K::Text, K::OptionalPath, K::OptionalPassword}, setUserInfo},
    {SetPassword, {K::AccountName, K::Password},
     [](const Arguments &a) { return status(AccountTools::setPassword(a.text(0), a.text(1))); }},
    {ChangePassword, {K::AccountName, K::Password, K::Password},
     [](const Arguments &a) { return status(AccountTools::changePassword(a.text(0), a.text(1), a.text(2))); }},
    {AddGroup, {K::AccountName}, [](const Arguments &a) { return status(AccountTools::addGroup(a.text(0))); }},
    {DeleteGroup, {K::AccountName}, [](const Arguments &a) { return status(AccountTools::deleteGroup(a.text(0))); }},
    {AddGroupMember, {K::AccountName, K::AccountName},
     [](const Arguments &a) { return status(AccountTools::addGroupMember(a.text(0), a.text(1))); }},
    {RemoveGroupMember, {K::AccountName, K::AccountName},
     [](const Arguments &a) { return status(AccountTools::removeGroupMember(a.text(0), a.text(1))); }},
    {CheckPassword, {K::AccountName, K::Password, K::Flag}, checkPassword},
    {CreateUserFolder, {K::AccountName, K::Path}, createUserFolder},
    {RemoveUserFolder, {K::AccountName, K::Path}, removeUserFolder},
    {OpenUploadFile, {K::AccountName, K::RelativePath, K::Text}, openUploadFile},
    {OpenInSession, {K::UserName, K::Text, K::Text}, openInSession},
    {EndSession, {K::UserName}, endSession},
    {WritePxeFile, {K::Text, K::Text, K::Content},
     [](const Arguments &a) { return status(PxeFiles::write(a.text(0), a.text(1), a.bytes(2))); }},
    {RemovePxeFile, {K::Text, K::Text},
     [](const Arguments &a) { return status(PxeFiles::remove(a.text(0), a.text(1))); }},
    {MountChroot, {K::Argument, K::Argument, K::Argument, K::Password, K::Argument, K::Argument},
     [](const Arguments &a) {
         return exitCode(HostPrograms::mountChroot({a.text(0), a.text(1), a.text(4), a.text(5)}, a.text(2), a.text(3)));
     }},
    {UmountChroot, {K::Argument},
     [](const Arguments &a) { return exitCode(HostPrograms::umountChroot(a.text(0)) ? 1 : 0); }},
    {ConnectPrinter, {K::Argument, K::Argument, K::Argument, K::Argument},
     [](const Arguments &a) { return printerChange("connect", a); }},
    {DisconnectPrinter, {K::Argument, K::Argument, K::Argument, K::Argument},
     [](const Arguments &a) { return printerChange("disconnect", a); }},
    {PrunePrinters, {K::Argument, K::Argument},
     [](const Arguments &a) {
         return exitCode(HostPrograms::managePrinters({QStringLiteral("prune"), a.text(0), printerPrefix(a.text(1))}));
     }},
    {ManageCloud, {K::Operand, K::Operand, K::Operand, K::Operand, K::Flag}, manageCloud},
    {HostKeytab, {}, hostKeytab},
    {TlsCredentials, {}, tlsCredentials},
};

const Operation *find(const Wire::Fields &request)
{
    if (request.empty())
        return nullptr;
    for (const Operation &operation : operations) {
        if (request[0] == operation.name)
            return &operation;
    }
    return nullptr;
}

bool fitsShape(const Operation &operation, const Wire::Fields &request)
{
    if (request.size() != operation.fields.size() + 1)
        return false;
    for (size_t i = 0; i < operation.fields.size(); ++i) {
        if (!FieldCheck::isAcceptable(operation.fields[i], request[i + 1]))
            return false;
    }
    return true;
}

} // namespace

namespace Operations {

const std::vector<FieldKind> *shapeOf(const std::string &name)
{
    const Operation *operation = find({name});
    return operation ? &operation->fields : nullptr;
}

bool isWellFormed(const Wire::Fields &request)
{
    const Operation *operation = find(request);
    return operation && fitsShape(*operation, request);
}

Outcome run(const Wire::Fields &request)
{
    const Operation *operation = find(request);
    if (!operation || !fitsShape(*operation, request)) {
        Log::error(QStringLiteral("Refused a request of the serving process: %1")
                       .arg(request.empty() ? QString() : QString::fromStdString(request[0]).left(64)));
        return refused();
    }
    return operation->run(Arguments(request));
}

} // namespace Operations
