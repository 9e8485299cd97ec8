#include "testdomain.h"

#include "testutil.h"

#include <QDir>
#include <QTcpSocket>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

QString isolationFailure = QStringLiteral("not tried");

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QString::fromLatin1(TestDomain::address), port);
    return socket.waitForConnected(500);
}

// Every process whose parent is in pids, until no new one turns up.
QList<pid_t> withDescendants(pid_t root)
{
    QList<pid_t> pids{root};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool isPid = false;
            const pid_t pid = pid_t(entry.toInt(&isPid));
            if (!isPid || pids.contains(pid))
                continue;
            const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && pids.contains(pid_t(fields[1].toInt()))) {
                pids.append(pid);
                grew = true;
            }
        }
    }
    return pids;
}

} // namespace

bool TestDomain::isolate()
{
    mkdir("/run/samba", 0755);
    // The controller's daemons keep their sockets at fixed paths there.
    if (mount("tmpfs", "/run/samba", "tmpfs", 0, "mode=0755") != 0) {
        isolationFailure = QStringLiteral("mounting a private /run/samba failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        isolationFailure = QStringLiteral("creating a network namespace failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // /etc is the private copy: the controller gets a host name the servers can be given.
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::Append)
        || hosts.write(QByteArray(address) + ' ' + hostName + " dc1\n") <= 0) {
        isolationFailure = QStringLiteral("adding the controller to /etc/hosts failed");
        return false;
    }
    isolationFailure.clear();
    return true;
}

QString TestDomain::isolationError()
{
    return isolationFailure;
}

TestDomain::~TestDomain()
{
    if (process.state() != QProcess::NotRunning) {
        process.closeWriteChannel();
        process.waitForFinished(15000);
    }
}

bool TestDomain::start(QString *error)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("AMBRIX_TEST_DC_PASSWORD"), QString::fromLatin1(adminPassword));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(dir.filePath(QStringLiteral("controller.out")));
    process.setStandardErrorFile(dir.filePath(QStringLiteral("controller.out")), QIODevice::Append);
    // Its standard input stays open as long as this object lives: closing it stops the controller.
    process.start(QStringLiteral(AMBRIX_SOURCE_DIR "/scripts/test-domain-controller"),
                  {dir.filePath(QStringLiteral("dc")), QString::fromLatin1(realm), QString::fromLatin1(address)});
    const bool serving = process.waitForStarted(5000) && waitUntil([this] {
        return process.state() != QProcess::Running || (accepts(445) && accepts(88));
    }, 180000) && process.state() == QProcess::Running;
    if (!serving)
        *error = QString::fromUtf8(readFile(dir.filePath(QStringLiteral("controller.out"))).right(2000)
                                   + readFile(dir.filePath(QStringLiteral("dc/provision.log"))).right(2000));
    // The servers' domain helpers run as the serving account: they read the Kerberos
    // configuration as any client of the domain would.
    const QFileDevice::Permissions enter = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                           | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(dir.path(), enter);
    QFile::setPermissions(dir.filePath(QStringLiteral("dc")), enter);
    QFile::setPermissions(krb5Config(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                            | QFileDevice::ReadOther);
    return serving;
}

QString TestDomain::krb5Config() const
{
    return dir.filePath(QStringLiteral("dc/krb5.conf"));
}

QProcessEnvironment TestDomain::kerberosEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KRB5_CONFIG"), krb5Config());
    env.insert(QStringLiteral("KRB5CCNAME"), QStringLiteral("MEMORY:test"));
    return env;
}

QByteArray TestDomain::tool(const QStringList &args) const
{
    const QStringList admin{QStringLiteral("-H"), QStringLiteral("ldap://") + QLatin1String(address),
                            QStringLiteral("-U"), QStringLiteral("Administrator"),
                            QStringLiteral("--password=") + QLatin1String(adminPassword)};
    return runProgram(QStringLiteral("samba-tool"), args + admin, QByteArray(), kerberosEnvironment()).out;
}

bool TestDomain::exportKeytab(const QString &principal, const QString &path) const
{
    return runProgram(QStringLiteral("samba-tool"),
                      {"domain", "exportkeytab", path, "--principal=" + principal,
                       "--configfile=" + dir.filePath(QStringLiteral("dc/etc/smb.conf"))})
               .exitCode
        == 0;
}

bool TestDomain::logsOn(const QString &principal, const QString &password) const
{
    return runProgram(QStringLiteral("kinit"), {principal}, password.toUtf8() + '\n', kerberosEnvironment()).exitCode == 0;
}

void TestDomain::suspend(bool stopped) const
{
    for (const pid_t pid : withDescendants(pid_t(process.processId())))
        kill(pid, stopped ? SIGSTOP : SIGCONT);
}
