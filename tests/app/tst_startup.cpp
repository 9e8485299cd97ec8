// The process as an operator starts it: options, usage, exit codes, interrupt.
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray usageTail =
    "Options:\n"
    "  -a, --address ADDRESS        Serve on IP address ADDRESS\n"
    "  -p, --port PORT              Serve on port number PORT\n"
    "  -i, --init                   Initialize server (GUI dialog)\n"
    "  -u, --adminuser ADMINUSER    Initialize server with administrator ADMINUSER\n"
    "  -w, --password ADMINPASSWORD Initialize server with administrator password ADMINPASSWORD\n"
    "When initializing server you must specify ADMINUSER, PASSWORD and ADDRESS\n";

bool waitForText(const TestServer &server, const QByteArray &text, int msecs = 5000)
{
    QDeadlineTimer deadline(msecs);
    while (!deadline.hasExpired()) {
        if (server.standardError().contains(text))
            return true;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void optionErrors_data();
    void optionErrors();
    void portInUseReportsBindFailure();
    void interruptStopsServingWithClientsConnected();
    void firstAddressWinsAndNonNumericPortMeansZero();
};

void StartupTest::optionErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("complaint");
    QTest::newRow("-p last") << QStringList{"-p"} << QByteArray("The parameter needs a value.");
    QTest::newRow("--port last after address")
        << QStringList{"-a", "127.0.0.1", "--port"} << QByteArray("The parameter needs a value.");
    QTest::newRow("unknown word") << QStringList{"serve"} << QByteArray("Invalid option. Check parameters.");
    QTest::newRow("unknown after a value")
        << QStringList{"-p", "5000", "--verbose"} << QByteArray("Invalid option. Check parameters.");
    QTest::newRow("value option name in other case")
        << QStringList{"-P", "5000"} << QByteArray("Invalid option. Check parameters.");
}

void StartupTest::optionErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, complaint);
    TestServer server;
    const RunResult r = server.run(args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    const QByteArray expected = complaint + "\nusage: " + AMBRIX_SERVER_BIN + " <options>\n" + usageTail;
    QCOMPARE(r.standardOutput, expected);
}

void StartupTest::portInUseReportsBindFailure()
{
    // Held without address reuse, so the server's bind must fail.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len);
    const QString port = QString::number(ntohs(addr.sin_port));

    TestServer server;
    const RunResult r = server.run({"-a", "127.0.0.1", "-p", port});
    ::close(holder);
    QVERIFY(r.finished);
    QCOMPARE(r.standardOutput,
             QByteArray("Unable to start Ambrix server. Error -301: Something happened creating server "
                        "socket. Exiting with error code -301\n"));
    QCOMPARE(r.exitCode, 211); // -301 as the system reports an exit status
}

void StartupTest::interruptStopsServingWithClientsConnected()
{
    TestServer server;
    QVERIFY(server.start());
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

void StartupTest::firstAddressWinsAndNonNumericPortMeansZero()
{
    TestServer server;
    // "-a" twice: the first value is served on (start() connects to 127.0.0.1).
    QVERIFY(server.start({"-a", "127.0.0.2"}));
    QVERIFY(waitForText(server, "Serving on address: 127.0.0.1"));
    server.interrupt();
    QVERIFY(server.waitForExit());

    TestServer zero;
    const RunResult r = [&] {
        QProcess p;
        p.setProcessEnvironment(zero.environment());
        p.start(AMBRIX_SERVER_BIN, {"-a", "127.0.0.1", "-p", "44x5"});
        p.waitForStarted();
        QDeadlineTimer deadline(5000);
        QByteArray err;
        while (!deadline.hasExpired() && !err.contains("Bind done")) {
            p.waitForReadyRead(100);
            err += p.readAllStandardError();
        }
        ::kill(pid_t(p.processId()), SIGINT);
        p.waitForFinished(5000);
        RunResult out;
        out.exitCode = p.exitCode();
        out.standardError = err + p.readAllStandardError();
        return out;
    }();
    QVERIFY2(r.standardError.contains("Serving on address: 127.0.0.1, port: 0"), r.standardError.constData());
    QCOMPARE(r.exitCode, 0);
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
