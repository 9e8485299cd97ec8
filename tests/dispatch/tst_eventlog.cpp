// Session and application events as rows of "ax_log", reported from client addresses of this
// run's own (loopback sources), and the reply when the database is out of reach.
#include "testclient.h"
#include "testdatabase.h"
#include "testserver.h"
#include "tokenuser.h"

#include <QtTest>

#include <vector>

class EventLogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void eventRows_data();
    void eventRows();
    void newAddressGetsOneServerRow();
    void unreachableDatabase();

private:
    QString lastRowOf(const QString &column);

    const qint64 pid = QCoreApplication::applicationPid();
    const int appId = 90000 + int(pid % 4000) * 25 + 1;
    const QString appName = QStringLiteral("axt6_%1_event app").arg(pid);
    // Client addresses no other run uses, so their server rows are created here.
    const QString address = QStringLiteral("127.%1.%2.61").arg(pid / 256 % 256).arg(pid % 256);
    const QString busyAddress = QStringLiteral("127.%1.%2.62").arg(pid / 256 % 256).arg(pid % 256);
    TestDatabase db;
    std::unique_ptr<TokenUser> user;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
};

QString EventLogTest::lastRowOf(const QString &column)
{
    return db.value(QString("SELECT %1 FROM ax_log WHERE user_id='%2' ORDER BY id DESC LIMIT 1")
                        .arg(column, user->name()));
}

void EventLogTest::initTestCase()
{
    QVERIFY2(db.lastError().isEmpty(), qPrintable(db.lastError()));
    user = std::make_unique<TokenUser>(db, QStringLiteral("axt6_%1_ev").arg(pid));
    QVERIFY(user->isCreated());
    QVERIFY(db.exec(QString("INSERT INTO ax_application (id, name) VALUES (%1, '%2')").arg(appId).arg(appName)));

    server = std::make_unique<TestServer>();
    // Local time far from UTC, so a time stamp left in local time shows.
    server->setEnv("TZ", "AXT-5:45");
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port(), "127.0.0.1", qPrintable(address));
    QVERIFY(client->isConnected());
    QCOMPARE(client->request(user->loginRequest()), QByteArray("Authentication ok.\n"));
}

void EventLogTest::cleanupTestCase()
{
    client.reset();
    if (server) {
        server->interrupt();
        server->waitForExit();
    }
    db.exec(QString("DELETE FROM ax_log WHERE user_id='%1'").arg(user->name()));
    db.exec(QString("DELETE FROM ax_server WHERE address IN ('%1', '%2')").arg(address, busyAddress));
    db.exec(QString("DELETE FROM ax_application WHERE id=%1").arg(appId));
    user.reset();
}

void EventLogTest::eventRows_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("appId"); // null: no "app_id"
    QTest::addColumn<QString>("text");
    const QString u = QStringLiteral("axt6_%1_ev").arg(pid);
    const QString id = QString::number(appId);
    QTest::newRow("session started") << "start_session" << "1" << QString()
                                     << QString("User %1 started session on server %2").arg(u, address);
    QTest::newRow("session ended") << "end_session" << "2" << QString()
                                   << QString("User %1 ended session on server %2").arg(u, address);
    QTest::newRow("application started") << "start_application?" + id + "&4321" << "3" << id
        << QString("User %1 started application %2 on server %3 with process Id 4321").arg(u, appName, address);
    QTest::newRow("application ended") << "end_application?" + id + "&4321" << "4" << id
        << QString("User %1 ended application %2 on server %3 with process Id 4321").arg(u, appName, address);
    QTest::newRow("application 0 has no app_id") << "start_application?0&7" << "3" << QString()
        << QString("User %1 started application  on server %2 with process Id 7").arg(u, address);
    QTest::newRow("not numbers read as 0") << "end_application?first&pid" << "4" << QString()
        << QString("User %1 ended application  on server %2 with process Id 0").arg(u, address);
    QTest::newRow("id beyond 32 bits names no application") << "start_application?" + QString::number(appId + (1LL << 32)) + "&1"
        << "3" << QString::number(appId + (1LL << 32))
        << QString("User %1 started application  on server %2 with process Id 1").arg(u, address);
    QTest::newRow("unknown application") << "end_application?" + QString::number(appId + 23) + "&4294967295"
        << "4" << QString::number(appId + 23)
        << QString("User %1 ended application  on server %2 with process Id 4294967295").arg(u, address);
}

void EventLogTest::eventRows()
{
    QFETCH(QString, request);
    QFETCH(QString, type);
    QFETCH(QString, appId);
    QFETCH(QString, text);
    QCOMPARE(client->request(request.toUtf8()), QByteArray("Ok\n"));
    QCOMPARE(lastRowOf("type_id"), type);
    QCOMPARE(lastRowOf("text"), text);
    QCOMPARE(lastRowOf("IFNULL(app_id, 'none')"), appId.isNull() ? QString("none") : appId);
    // The same server row for every event from this address, created by the first one.
    QCOMPARE(db.value(QString("SELECT COUNT(*) FROM ax_server WHERE address='%1'").arg(address)), QString("1"));
    QCOMPARE(lastRowOf("server_id"), db.value(QString("SELECT id FROM ax_server WHERE address='%1'").arg(address)));
    QCOMPARE(lastRowOf("ABS(TIMESTAMPDIFF(MINUTE, time_stamp, UTC_TIMESTAMP())) < 10"), QString("1"));
}

void EventLogTest::newAddressGetsOneServerRow()
{
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<TestClient>(server->port(), "127.0.0.1", qPrintable(busyAddress)));
        QCOMPARE(clients.back()->request(user->loginRequest()), QByteArray("Authentication ok.\n"));
    }
    for (auto &c : clients)
        QVERIFY(c->send("start_session"));
    for (auto &c : clients)
        QCOMPARE(c->receiveExactly(3), QByteArray("Ok\n"));
    QCOMPARE(db.value(QString("SELECT COUNT(*) FROM ax_server WHERE address='%1'").arg(busyAddress)), QString("1"));
    const QString serverId = db.value(QString("SELECT id FROM ax_server WHERE address='%1'").arg(busyAddress));
    QCOMPARE(db.value(QString("SELECT COUNT(*) FROM ax_log WHERE user_id='%1' AND server_id=%2")
                          .arg(user->name(), serverId)),
             QString("8"));
}

void EventLogTest::unreachableDatabase()
{
    TestServer offline;
    offline.setSetting("Server/MySqlServerPort", TestServer::freePort());
    offline.setSetting("Server/ServerToken", "axt6ServerToken");
    QVERIFY(offline.start());
    TestClient c(offline.port());
    QCOMPARE(c.request("validate?someone&&axt6ServerToken"), QByteArray("Authentication ok.\n"));
    for (const char *request : {"start_session", "end_session", "start_application?1&2", "end_application?1&2"})
        QCOMPARE(c.request(request), QByteArray("Error inserting record on events database\n"));
    offline.interrupt();
    QVERIFY(offline.waitForExit());
}

QTEST_GUILESS_MAIN(EventLogTest)
#include "tst_eventlog.moc"
