// The process as an operator starts it (options, usage, exit codes, interrupt), and its log file.
#include "app/log.h"
#include "app/settings.h"
#include "testserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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

    void nonNumericPortMeansZero()
    {
        QProcess p;
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
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
