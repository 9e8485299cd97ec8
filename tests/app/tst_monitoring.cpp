// What an operator's tools see of a running server: the metrics endpoint (its text as promtool
// checks it, counters that follow real requests, HTTP beyond one GET refused), the service
// manager's notifications on a socket of the test's own, and the README's scrape job and alert
// rules as promtool checks them.
#include "testserver.h"

#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The value of one series in a scrape; 0 when it is not there yet.
double sample(const QByteArray &answer, const QByteArray &series)
{
    for (const QByteArray &line : answer.split('\n')) {
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return 0;
}

QByteArray body(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// What promtool finds to fault, empty when nothing.
QByteArray promtoolFaults(const QStringList &args, const QByteArray &input = QByteArray())
{
    const ProgramResult r = runProgram(QStringLiteral("promtool"), args, input);
    return r.exitCode == 0 ? QByteArray() : "promtool " + args.join(' ').toUtf8() + ": " + r.out + r.err;
}

// The service manager's side of NOTIFY_SOCKET, in the abstract namespace (no file the serving
// account would need to reach). Collects every datagram; on READY=1 it asks the server at once
// whether its port answers.
class NotifySocket
{
public:
    explicit NotifySocket(const TestServer &server) : name("@ambrix-notify-" + QByteArray::number(::getpid()))
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.constData() + 1, size_t(name.size() - 1));
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), socklen_t(offsetof(sockaddr_un, sun_path) + name.size()));
        reader = std::thread([this, &server] {
            char buffer[4096];
            pollfd p{fd, POLLIN, 0};
            while (!stop) {
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                QByteArray datagram(buffer, int(qMax<ssize_t>(0, n)));
                if (datagram.split('\n').contains("READY=1"))
                    datagram += TestClient(server.port()).request("x", 2000).isEmpty() ? "\n(port silent)" : "\n(port answers)";
                const std::lock_guard<std::mutex> locked(lock);
                received.append(datagram);
            }
        });
    }
    ~NotifySocket()
    {
        stop = true;
        reader.join();
        ::close(fd);
    }
    const QByteArray name;

    int count(const QByteArray &line)
    {
        const std::lock_guard<std::mutex> locked(lock);
        return int(std::count_if(received.cbegin(), received.cend(), [&](const QByteArray &d) { return d.contains(line); }));
    }

private:
    int fd;
    std::atomic<bool> stop{false};
    std::mutex lock;
    QList<QByteArray> received;
    std::thread reader;
};

} // namespace

class MonitoringTest : public QObject
{
    Q_OBJECT

    TestServer server;
    std::unique_ptr<TestClient> client;

private slots:
    void initTestCase()
    {
        server.enableMetrics();
        QVERIFY(server.start());
        client = server.login();
        QVERIFY(client);
    }

    void countersFollowRequests_data()
    {
        addRowsFrom(QStringLiteral("monitoring.rows"), {{"ALICE_TOKEN", QString::fromLatin1(SampleData::AliceToken)}});
    }

    void countersFollowRequests()
    {
        const QByteArray before = server.metrics();
        QVERIFY(!client->request(field("request").toUtf8()).isEmpty());
        const QByteArray series = field("series").toUtf8();
        QCOMPARE(sample(server.metrics(), series) - sample(before, series), field("delta").toDouble());
    }

    // After the requests above: histograms and every kind of series are in the scrape.
    void scrapeIsValidText()
    {
        const QByteArray answer = server.metrics();
        QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n") && answer.contains("Content-Type: text/plain; version=0.0.4"),
                 answer.left(200).constData());
        QCOMPARE(promtoolFaults({"check", "metrics"}, body(answer)), QByteArray());
        QVERIFY(sample(answer, "ambrix_clients_logged_in") >= 1);
        QVERIFY(sample(answer, "ambrix_db_up") == 1 && sample(answer, "process_open_fds") > 0);
    }

    void httpBeyondOneGetIsRefused_data() { addRowsFrom(QStringLiteral("monitoring.rows"), {{"LONG", QString(9000, 'h')}}); }

    void httpBeyondOneGetIsRefused()
    {
        const QByteArray answer = server.metrics(field("request").toUtf8());
        QVERIFY2(answer.startsWith(field("status").toUtf8() + "\r\n"), answer.left(100).constData());
        QVERIFY(answer.endsWith("\r\n\r\n")); // no body, and closed
    }

    void notifications()
    {
        TestServer supervised;
        NotifySocket manager(supervised);
        supervised.setEnv(QStringLiteral("NOTIFY_SOCKET"), QString::fromLatin1(manager.name));
        supervised.setEnv(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("100000"));
        QVERIFY(supervised.start());
        QTRY_COMPARE_WITH_TIMEOUT(manager.count("READY=1"), 1, 5000);
        QCOMPARE(manager.count("(port answers)"), 1);
        QCOMPARE(manager.count("STATUS=0 clients connected, 0 logged in; database not used yet"), 1);
        QTRY_VERIFY_WITH_TIMEOUT(manager.count("WATCHDOG=1") >= 3, 5000);
        const std::unique_ptr<TestClient> alice = supervised.login();
        QTRY_VERIFY_WITH_TIMEOUT(manager.count(" 1 logged in; database reachable"), 5000);
        QCOMPARE(manager.count("STOPPING=1"), 0);
        supervised.interrupt();
        QVERIFY(supervised.waitForExit() && supervised.exitCode() == 0);
        QTRY_COMPARE_WITH_TIMEOUT(manager.count("STOPPING=1"), 1, 2000);
    }

    void readmeConfigurationChecks_data() { addRowsFrom(QStringLiteral("monitoring.rows")); }

    // The README's block that starts with the given line, as promtool checks such a file.
    void readmeConfigurationChecks()
    {
        const QString readme = QString::fromUtf8(readFile(QStringLiteral(AMBRIX_SOURCE_DIR "/README.md")));
        const int start = readme.indexOf(QStringLiteral("```yaml\n") + field("first line") + '\n');
        QVERIFY(start >= 0);
        const int from = start + int(strlen("```yaml\n"));
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("checked.yml"));
        QVERIFY(writeFile(file, readme.mid(from, readme.indexOf(QStringLiteral("```"), from) - from).toUtf8()));
        QCOMPARE(promtoolFaults({"check", field("check"), file}), QByteArray());
    }
};

QTEST_GUILESS_MAIN(MonitoringTest)
#include "tst_monitoring.moc"
