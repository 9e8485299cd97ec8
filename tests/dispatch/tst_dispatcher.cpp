// The dispatcher seen by a logged-in client: name and count matching, formatted errors, and the
// commands that live in the dispatcher itself.
#include "sampledata.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

class DispatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void matching_data();
    void matching();
    void remoteAppServerIsSharedPerUser();

private:
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
};

void DispatcherTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request(QByteArray("login?alice&&") + SampleData::AliceToken),
             QByteArray("Authentication ok.\n"));
}

void DispatcherTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
}

void DispatcherTest::matching_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("reply"); // a regular expression
    const QString countError = "^Error: Invalid number of parameters for command %1\\(.+\\)\\n$";
    const QString unknown = "^Error: Unknown command %1\\(.+\\)\\n$";
    QTest::newRow("placeholder, right count") << QByteArray("start_server?x") << "^\\n$";
    QTest::newRow("placeholder, no parameter") << QByteArray("start_server") << countError.arg("start_server");
    QTest::newRow("lone ? is one empty parameter") << QByteArray("server_list?") << countError.arg("server_list");
    QTest::newRow("after a second ? is dropped") << QByteArray("start_server?a?b&c&d") << "^\\n$";
    QTest::newRow("trailing & is an empty parameter") << QByteArray("start_server?a&") << countError.arg("start_server");
    QTest::newRow("five empty parameters") << QByteArray("add_virtual_server?&&&&") << "^\\n$";
    QTest::newRow("three or four: two") << QByteArray("create_user?a&b") << countError.arg("create_user");
    QTest::newRow("three or four: five") << QByteArray("create_user?a&b&c&d&e") << countError.arg("create_user");
    QTest::newRow("name is case-sensitive") << QByteArray("Start_server?x") << unknown.arg("Start_server");
    QTest::newRow("unknown") << QByteArray("no_such_thing?1&2") << unknown.arg("no_such_thing");
    QTest::newRow("quit with parameters") << QByteArray("  quit?a&b") << "^true\\n$";
    QTest::newRow("surrounding blanks") << QByteArray("  server_list \n") << "^\\n$";
}

void DispatcherTest::matching()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, reply);
    const QByteArray got = client->request(request);
    QVERIFY2(QRegularExpression(reply).match(QString::fromUtf8(got)).hasMatch(), got.constData());
    // No blank before "(" in formatted errors.
    QVERIFY(!got.contains(" ("));
}

void DispatcherTest::remoteAppServerIsSharedPerUser()
{
    TestClient second(server->port());
    QCOMPARE(second.request(QByteArray("login?alice&&") + SampleData::AliceToken), QByteArray("Authentication ok.\n"));
    TestClient bob(server->port());
    QCOMPARE(bob.request(QByteArray("login?bob&&") + SampleData::BobToken), QByteArray("Authentication ok.\n"));

    QCOMPARE(client->request("set_remote_app_server?3389&192.0.2.10"), QByteArray("\n"));
    QCOMPARE(second.request("get_remote_app_server_port"), QByteArray("3389\n"));
    QCOMPARE(second.request("get_remote_app_server_address"), QByteArray("192.0.2.10\n"));
    QCOMPARE(bob.request("get_remote_app_server_port"), QByteArray("\n"));
    QCOMPARE(second.request("unset_remote_app_server"), QByteArray("\n"));
    QCOMPARE(client->request("get_remote_app_server_address"), QByteArray("\n"));
}

QTEST_GUILESS_MAIN(DispatcherTest)
#include "tst_dispatcher.moc"
