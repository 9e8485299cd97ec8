// Ending users' sessions: real login records for real processes of this test.
#include "loginrecords.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray ServerToken = "sessions-test-token-7c1f9e";

// A process in a process group of its own, as a login session's is.
std::unique_ptr<QProcess> startSession(const QStringList &command)
{
    auto process = std::make_unique<QProcess>();
    process->start("/usr/bin/setsid", command);
    process->waitForStarted();
    return process;
}

bool isGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

bool becomesGone(qint64 pid)
{
    QDeadlineTimer deadline(10000);
    while (!isGone(pid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

class SessionsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killSessionEndsTheFirstSession_data();
    void killSessionEndsTheFirstSession();
    void killSessionWithoutSessionEndsNothing();

private:
    QString uniqueUser();

    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    int users = 0;
};

void SessionsTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request("login?operator&&" + ServerToken), QByteArray("Authentication ok.\n"));
}

void SessionsTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
}

QString SessionsTest::uniqueUser()
{
    return QStringLiteral("AxKill%1n%2").arg(QCoreApplication::applicationPid()).arg(++users);
}

void SessionsTest::killSessionEndsTheFirstSession_data()
{
    QTest::addColumn<QStringList>("firstSession");
    QTest::addColumn<bool>("staleRecordFirst");
    QTest::newRow("hang-up ends it") << QStringList{"sleep", "300"} << false;
    QTest::newRow("hang-up ignored, termination follows")
        << QStringList{"sh", "-c", "trap '' HUP; exec sleep 300"} << false;
    QTest::newRow("its whole process group goes")
        << QStringList{"sh", "-c", "sleep 300 & echo $!; wait"} << false;
    // The record of a process that is gone must neither hide the live session behind it nor
    // point at whatever process now has its id.
    QTest::newRow("stale record of the same user first") << QStringList{"sleep", "300"} << true;
}

void SessionsTest::killSessionEndsTheFirstSession()
{
    QFETCH(QStringList, firstSession);
    QFETCH(bool, staleRecordFirst);
    const QString user = uniqueUser();
    LoginRecords records;

    if (staleRecordFirst) {
        QProcess ended;
        ended.start("/bin/true", QStringList());
        QVERIFY(ended.waitForStarted());
        const qint64 stalePid = ended.processId();
        QVERIFY(ended.waitForFinished());
        QVERIFY(records.add(stalePid, user));
    }
    const auto first = startSession(firstSession);
    const auto second = startSession({"sleep", "300"});
    const auto stopSecond = qScopeGuard([&second] { second->kill(); second->waitForFinished(); });
    QVERIFY(first->state() == QProcess::Running && second->state() == QProcess::Running);
    qint64 member = 0;
    if (firstSession.join(' ').contains("echo $!")) {
        QVERIFY(first->waitForReadyRead());
        member = first->readLine().trimmed().toLongLong();
        QVERIFY(member > 0);
    }
    QVERIFY(records.add(first->processId(), user));
    QVERIFY(records.add(second->processId(), user));

    QCOMPARE(client->request("kill_session?" + user.toLower().toUtf8(), 30000), QByteArray("\n"));
    // The reply comes once the session has gone.
    QVERIFY(isGone(first->processId()));
    QVERIFY(first->waitForFinished());
    if (member)
        QVERIFY(becomesGone(member));
    QCOMPARE(second->state(), QProcess::Running);
    QVERIFY(!isGone(second->processId()));
}

void SessionsTest::killSessionWithoutSessionEndsNothing()
{
    const QString user = uniqueUser();
    LoginRecords records;
    const auto session = startSession({"sleep", "300"});
    const auto stop = qScopeGuard([&session] { session->kill(); session->waitForFinished(); });
    QVERIFY(records.add(session->processId(), user));

    QCOMPARE(client->request("kill_session?" + user.toUtf8() + "x"), QByteArray("\n"));
    QCOMPARE(client->request("kill_session?"), QByteArray("\n"));
    QVERIFY(!isGone(session->processId()));
}

QTEST_GUILESS_MAIN(SessionsTest)
#include "tst_sessions.moc"
