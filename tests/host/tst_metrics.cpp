// Memory, disk and processor figures of this very machine, as a logged-in client reads them.
#include "sampledata.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

class MetricsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void memoryMatchesTheMachine();
    void disksIncludeTheRootFileSystem();
    void loadRisesWithBusyProcessors();

private:
    QString ask(const QByteArray &request);

    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
};

void MetricsTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request(QByteArray("login?alice&&") + SampleData::AliceToken),
             QByteArray("Authentication ok.\n"));
}

void MetricsTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
}

QString MetricsTest::ask(const QByteArray &request)
{
    const QByteArray reply = client->request(request);
    return reply.endsWith('\n') ? QString::fromUtf8(reply.chopped(1)) : QStringLiteral("no line end: ") + reply;
}

void MetricsTest::memoryMatchesTheMachine()
{
    QFile meminfo("/proc/meminfo");
    QVERIFY(meminfo.open(QIODevice::ReadOnly));
    const QRegularExpressionMatch total = QRegularExpression("MemTotal:\\s+(\\d+) kB").match(meminfo.readAll());
    QVERIFY(total.hasMatch());
    const double machineTotal = total.captured(1).toDouble() * 1024;

    const QRegularExpressionMatch reply = QRegularExpression("^(\\d+)/(\\d+)$").match(ask("get_system_memory"));
    QVERIFY2(reply.hasMatch(), qPrintable(reply.captured(0)));
    const double used = reply.captured(1).toDouble();
    const double reported = reply.captured(2).toDouble();
    QVERIFY(qAbs(reported - machineTotal) <= machineTotal * 0.02);
    QVERIFY(used > 0 && used <= reported);
}

void MetricsTest::disksIncludeTheRootFileSystem()
{
    const QString reply = ask("get_system_disk_space");
    QStringList roots;
    const QStringList entries = reply.split(',');
    for (const QString &entry : entries) {
        const QRegularExpressionMatch m = QRegularExpression("^\"([^\"]+)\"/(\\d+)/(\\d+)$").match(entry);
        QVERIFY2(m.hasMatch(), qPrintable(reply));
        QVERIFY(m.captured(2).toULongLong() <= m.captured(3).toULongLong());
        QVERIFY(m.captured(3).toULongLong() > 0);
        roots.append(m.captured(1));
    }
    QVERIFY2(roots.contains("/"), qPrintable(reply));
    // One entry per device: the root file system's bind mounts do not repeat it.
    QCOMPARE(roots.count("/"), 1);
    QCOMPARE(QSet<QString>(roots.begin(), roots.end()).size(), roots.size());
}

void MetricsTest::loadRisesWithBusyProcessors()
{
    const QRegularExpression figure("^(\\d{1,3})\\.\\d\\d$");
    const QString quiet = ask("get_system_load");
    QVERIFY2(figure.match(quiet).hasMatch(), qPrintable(quiet));
    QVERIFY(quiet.toDouble() >= 0.0 && quiet.toDouble() <= 100.0);

    std::vector<std::unique_ptr<QProcess>> spinners;
    const int processors = QThread::idealThreadCount();
    for (int i = 0; i < processors; ++i) {
        spinners.push_back(std::make_unique<QProcess>());
        spinners.back()->start("/bin/sh", {"-c", "while :; do :; done"});
        QVERIFY(spinners.back()->waitForStarted());
    }
    const auto stop = qScopeGuard([&spinners] {
        for (auto &spinner : spinners) {
            spinner->kill();
            spinner->waitForFinished();
        }
    });
    const QString busy = ask("get_system_load");
    QVERIFY2(figure.match(busy).hasMatch(), qPrintable(busy));
    QVERIFY2(busy.toDouble() > 60.0 && busy.toDouble() <= 100.0, qPrintable(busy));
}

QTEST_GUILESS_MAIN(MetricsTest)
#include "tst_metrics.moc"
