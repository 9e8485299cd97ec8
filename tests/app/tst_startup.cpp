// The process as an operator starts it (options, usage, exit codes, interrupt), and its log file.
#include "base/log.h"
#include "base/settings.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A field of /proc/PID/status as it stands.
QByteArray statusField(qint64 pid, const QByteArray &name)
{
    for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(name + ":"))
            return line.mid(name.size() + 1).simplified();
    }
    return "missing";
}

qint64 childNamed(qint64 parent, const QByteArray &name)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains("(" + name + ")") && fields.size() > 1 && fields[1].toLongLong() == parent)
            return entry.toLongLong();
    }
    return 0;
}

// The internet sockets among the process's descriptors.
int internetSockets(qint64 pid)
{
    QSet<QByteArray> inodes;
    for (const char *table : {"tcp", "tcp6", "udp", "udp6"}) {
        for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table))).split('\n').mid(1))
            inodes.insert(line.simplified().split(' ').value(9));
    }
    int count = 0;
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &fd : QDir(fds).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds + "/" + fd);
        if (target.contains("socket:[") && inodes.contains(target.section('[', 1).chopped(1).toLatin1()))
            ++count;
    }
    return count;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void optionErrors_data() { addRowsFrom("startup.rows"); }

    void optionErrors()
    {
        const ProgramResult r = TestServer().run(field("args").split('|'));
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.startsWith(field("complaint").toUtf8() + "\nusage: " AMBRIX_SERVER_BIN " <options>\nOptions:\n"), r.out.constData());
    }

    void portInUseReportsBindFailure()
    {
        // Held without address reuse, so the server's bind must fail.
        const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        QVERIFY(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(holder, 1) == 0);
        ::getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len);
        const ProgramResult r = TestServer().run({"-a", "127.0.0.1", "-p", QString::number(ntohs(addr.sin_port))});
        ::close(holder);
        QCOMPARE(r.out, QByteArray("Unable to start Ambrix server. Error -301: Something happened creating server socket. "
                                   "Exiting with error code -301\n"));
        QCOMPARE(r.exitCode, 211); // -301 as the system reports an exit status
    }

    void interruptStopsServingWithClientsConnected()
    {
        TestServer server;
        // "-a" twice: the first value is served on (start() connects to 127.0.0.1).
        QVERIFY(server.start({"-a", "127.0.0.2"}));
        QTRY_VERIFY_WITH_TIMEOUT(server.standardError().contains("Serving on address: 127.0.0.1"), 5000);
        TestClient a(server.port());
        TestClient b(server.port());
        QCOMPARE(a.request("get_system_load"), QByteArray("Not authenticated"));
        QVERIFY(b.isConnected());
        server.interrupt();
        QVERIFY(server.waitForExit());
        QCOMPARE(server.exitCode(), 0);
        QCOMPARE(server.standardOutput(), QByteArray("Stopping Ambrix server...\ndone.\n"));
        QVERIFY(a.waitForClose());
    }

    // Started as root, the serving process keeps nothing of it; its privileged side keeps root and
    // no internet socket.
    void servesWithoutPrivilege()
    {
        TestServer server;
        QVERIFY(server.start());
        const qint64 serving = server.pid();
        for (const QByteArray &ids : {statusField(serving, "Uid"), statusField(serving, "Gid")}) {
            QVERIFY2(!ids.split(' ').contains("0"), ids.constData());
        }
        QCOMPARE(statusField(serving, "Groups"), QByteArray());
        for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
            QCOMPARE(statusField(serving, set), QByteArray("0000000000000000"));
        QCOMPARE(statusField(serving, "NoNewPrivs"), QByteArray("1"));
        QCOMPARE(statusField(serving, "Seccomp"), QByteArray("2"));
        QVERIFY(internetSockets(serving) >= 1); // its listening socket

        const qint64 privileged = childNamed(serving, "ambrix-privileg");
        QVERIFY(privileged > 0);
        QCOMPARE(statusField(privileged, "Uid"), QByteArray("0 0 0 0"));
        QCOMPARE(internetSockets(privileged), 0);
        // The privileged side goes with the serving process.
        server.interrupt();
        QVERIFY(server.waitForExit() && server.exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/%1/status").arg(privileged)), 5000);
    }

    void nonNumericPortMeansZero()
    {
        TiedProcess p;
        p.setProcessEnvironment(TestServer().environment());
        p.start(AMBRIX_SERVER_BIN, {"-a", "127.0.0.1", "-p", "44x5"});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("Bind done"), 5000);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QVERIFY2(err.contains("Serving on address: 127.0.0.1, port: 0"), err.constData());
        QCOMPARE(p.exitCode(), 0);
    }

    void logLines()
    {
        QTemporaryDir dir;
        const QString logPath = dir.path() + "/Ambrix Server/ambrix-server.log";
        qputenv("PROGRAMW6432", dir.path().toUtf8());
        QVERIFY(QDir(dir.path()).mkpath("Ambrix Server"));
        QCOMPARE(Settings::logPath(), logPath);
        Log::info(QStringLiteral("Grüße aus Köln"));
        Log::error(QStringLiteral("disk full"));
        QList<QByteArray> lines = readFile(logPath).split('\n');
        QCOMPARE(lines.size(), 3);
        const QRegularExpression stamp("^\\d{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d{2}:\\d{2}:\\d{2} [+-]\\d{4} - ");
        QVERIFY2(stamp.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[0].endsWith(" - Info: Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln\r"));
        QVERIFY(lines[1].endsWith(" - Error: disk full\r"));

        // Concurrent writers keep their lines whole.
        QVERIFY(QFile::remove(logPath));
        auto writer = [](char tag) {
            for (int i = 0; i < 300; ++i)
                Log::info(QString(200, QLatin1Char(tag)));
        };
        std::thread a(writer, 'a');
        std::thread b(writer, 'b');
        a.join();
        b.join();
        lines = readFile(logPath).split('\n');
        QCOMPARE(lines.size(), 601);
        for (const QByteArray &line : lines.mid(0, 600)) {
            QVERIFY2(line.endsWith(" - Info: " + QByteArray(200, 'a') + "\r") || line.endsWith(" - Info: " + QByteArray(200, 'b') + "\r"),
                     line.constData());
        }
    }

    // A settings file the serving account may no longer read (an editor replaced it as root's
    // alone) leaves the values it read before in use, not the defaults.
    void unreadableSettingsKeepTheirValues()
    {
        TestServer server;
        QVERIFY(server.start());
        const std::unique_ptr<TestClient> before = server.login();
        QVERIFY(before);
        const QByteArray catalogue = before->request("get_valid_applications");
        const QString replacement = server.settingsPath() + ".new";
        QVERIFY(writeFile(replacement, readFile(server.settingsPath()) + "; edited\n")
                && QFile::setPermissions(replacement, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                && ::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(server.settingsPath()).constData()) == 0);
        const std::unique_ptr<TestClient> after = server.login();
        QVERIFY(after);
        QCOMPARE(after->request("get_valid_applications"), catalogue);
        QVERIFY(server.logContents().contains("cannot be read; the values read before stay in use"));
    }

    // Last: without the serving account a server started as root does not serve.
    void refusesToServeWithoutItsAccount()
    {
        // Forced: servers of other test programs may run as the account meanwhile (its /etc is this
        // program's private copy).
        QVERIFY(Programs::run(Programs::UserdelProgram, {"-f", "ambrix-server"}, 30000).succeeded());
        const ProgramResult r = TestServer().run({"-a", "127.0.0.1", "-p", QString::number(TestServer::freePort())});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.out.count('\n'), 1);
        QVERIFY2(r.out.startsWith("The system account ambrix-server is missing"), r.out.constData());
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(StartupTest)
#include "tst_startup.moc"
