// Serving connections over real TCP: framing, message kinds, and what a client gets before login.
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

class ServingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void kindsBeforeLogin_data();
    void kindsBeforeLogin();
    void quitClosesWithoutReply();
    void zeroByteEndsTheMessage();
    void messageSizes();
    void serverControlReplyIsLogged();
    void passwordNeverReachesDebugOutput();
    void manyClientsAtOnce();
    void unreachableDatabaseKeepsServing();

private:
    std::unique_ptr<TestServer> server;
};

void ServingTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
}

void ServingTest::cleanupTestCase()
{
    server->interrupt();
    QVERIFY(server->waitForExit());
}

void ServingTest::kindsBeforeLogin_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("command") << QByteArray("get_valid_applications") << QByteArray("Not authenticated");
    QTest::newRow("command with params") << QByteArray("get_application_groups?1\n") << QByteArray("Not authenticated");
    QTest::newRow("byte array, unframed") << QByteArray("_byteArray_get_icon?1") << QByteArray("Not authenticated");
    QTest::newRow("upload: Ok first") << QByteArray("_sendBinaryFile_?a.txt&dir&3") << QByteArray("OkNot authenticated");
    QTest::newRow("relay") << QByteArray("_serverCommand_open?x") << QByteArray("Not authenticated");
    QTest::newRow("close") << QByteArray("_serverCommand_close") << QByteArray("Not authenticated");
}

void ServingTest::kindsBeforeLogin()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, reply);
    TestClient client(server->port());
    QVERIFY(client.send(message));
    QCOMPARE(client.receiveExactly(reply.size()), reply);
    QVERIFY(client.staysSilent(100)); // nothing more: no line end, no length
}

void ServingTest::quitClosesWithoutReply()
{
    TestClient client(server->port());
    QCOMPARE(client.request("x"), QByteArray("Not authenticated"));
    QVERIFY(client.send("quit\n"));
    QVERIFY(client.waitForClose());
}

void ServingTest::zeroByteEndsTheMessage()
{
    TestClient client(server->port());
    // The "quit" behind the zero byte is not part of the message.
    QVERIFY(client.send(QByteArray("abc\0quit", 8)));
    QCOMPARE(client.receiveExactly(17), QByteArray("Not authenticated"));
    QCOMPARE(client.request("still here"), QByteArray("Not authenticated"));
}

void ServingTest::messageSizes()
{
    TestClient client(server->port());
    QCOMPARE(client.request(QByteArray(1023, 'g')), QByteArray("Not authenticated"));
    // 1500 bytes are two receives, so two messages and two replies.
    QVERIFY(client.send(QByteArray(1500, 'g')));
    QCOMPARE(client.receiveExactly(34), QByteArray("Not authenticatedNot authenticated"));
    QCOMPARE(client.request("after"), QByteArray("Not authenticated"));
}

void ServingTest::serverControlReplyIsLogged()
{
    TestClient client(server->port());
    QCOMPARE(client.request("_serverCommand_ping"), QByteArray("Not authenticated"));
    QDeadlineTimer deadline(5000);
    while (!server->logContents().contains("Info: Not authenticated\r\n") && !deadline.hasExpired())
        QThread::msleep(20);
    QVERIFY(server->logContents().contains(" - Info: Not authenticated\r\n"));
}

void ServingTest::passwordNeverReachesDebugOutput()
{
    TestClient client(server->port());
    client.request("login?someone&&S3cretPassw0rd&x");
    client.request("validate?someone&admins&An0therSecret");
    QVERIFY(!server->standardError().contains("S3cretPassw0rd"));
    QVERIFY(!server->standardError().contains("An0therSecret"));
    QVERIFY(server->standardError().contains("validate?someone&admins&"));
}

void ServingTest::manyClientsAtOnce()
{
    const int count = 200;
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(std::make_unique<TestClient>(server->port()));
    int answered = 0;
    for (auto &c : clients) {
        if (c->isConnected() && c->request("get_system_load", 15000) == "Not authenticated")
            ++answered;
    }
    QCOMPARE(answered, count);
}

void ServingTest::unreachableDatabaseKeepsServing()
{
    TestServer offline;
    offline.setSetting("Server/MySqlServerPort", TestServer::freePort());
    QVERIFY(offline.start());
    TestClient client(offline.port());
    QCOMPARE(client.request("get_valid_applications"), QByteArray("Not authenticated"));
    QCOMPARE(client.request("get_valid_applications"), QByteArray("Not authenticated"));
    QVERIFY(offline.standardError().contains("MySql server authentication failed"));
}

QTEST_GUILESS_MAIN(ServingTest)
#include "tst_serving.moc"
