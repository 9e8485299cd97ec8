// Login over real TCP: the methods in order, admin groups, and what the connection keeps.
#include "fakepeer.h"
#include "sampledata.h"
#include "testdatabase.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

using namespace SampleData;

namespace {

QByteArray loginWith(TestClient &client, const QByteArray &user, const QByteArray &group,
                     const QByteArray &password)
{
    return client.request("login?" + user + "&" + group + "&" + password);
}

const QByteArray ok = "Authentication ok.\n";
const QByteArray bad = "Error: Bad authentication\n";

} // namespace

class LoginTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void databaseToken_data();
    void databaseToken();
    void serverToken();
    void notInAdminGroupStaysLoggedIn();
    void failedSecondLoginKeepsFirst();
    void loginFreeRequests();
    void debugNoAuth_data();
    void debugNoAuth();
    void principalServerWhenDatabaseIsClosed();
    void serverRegistryRequests();

private:
    std::unique_ptr<TestServer> server;
};

void LoginTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", "srv&Token?42");
    QVERIFY(server->start());
}

void LoginTest::cleanupTestCase()
{
    server->interrupt();
    QVERIFY(server->waitForExit());
}

void LoginTest::databaseToken_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("token") << QByteArray("alice") << QByteArray(AliceToken) << ok;
    QTest::newRow("backslash domain") << QByteArray("CORP\\alice") << QByteArray(AliceToken) << ok;
    QTest::newRow("plus domain") << QByteArray("CORP+alice") << QByteArray(AliceToken) << ok;
    // user@domain keeps the part after "@": no such user.
    QTest::newRow("at domain") << QByteArray("alice@CORP") << QByteArray(AliceToken) << bad;
    QTest::newRow("other user's token") << QByteArray("alice") << QByteArray(BobToken) << bad;
    QTest::newRow("token in other case") << QByteArray("alice") << QByteArray(AliceToken).toLower() << bad;
    QTest::newRow("empty password") << QByteArray("alice") << QByteArray() << bad;
    QTest::newRow("empty user") << QByteArray() << QByteArray(AliceToken) << bad;
    QTest::newRow("quote in name") << QByteArray("x' OR '1'='1") << QByteArray(AliceToken) << bad;
}

void LoginTest::databaseToken()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, reply);
    TestClient client(server->port());
    QCOMPARE(loginWith(client, user, "", password), reply);
    // Logged in exactly when the login was accepted.
    const QByteArray next = client.request("get_remote_app_server_port");
    QCOMPARE(next, reply == ok ? QByteArray("\n") : QByteArray("Not authenticated"));
}

void LoginTest::serverToken()
{
    TestClient client(server->port());
    // Any user name with this server's token; the password is everything after the second "&".
    QCOMPARE(loginWith(client, "someone", "", "srv&Token?42"), ok);
    TestClient other(server->port());
    QCOMPARE(client.request("validate?someone&&srv&Token?4"), bad);
}

void LoginTest::notInAdminGroupStaysLoggedIn()
{
    TestClient client(server->port());
    QCOMPARE(loginWith(client, "alice", "no-such-admins", AliceToken), QByteArray("Error: Not in admin group\n"));
    QCOMPARE(client.request("start_server?x"), QByteArray("\n"));
}

void LoginTest::failedSecondLoginKeepsFirst()
{
    TestClient client(server->port());
    QCOMPARE(loginWith(client, "alice", "", AliceToken), ok);
    QCOMPARE(client.request("set_remote_app_server?3389&10.0.0.9"), QByteArray("\n"));
    QCOMPARE(loginWith(client, "bob", "", "wrong"), bad);
    QCOMPARE(client.request("get_remote_app_server_address"), QByteArray("10.0.0.9\n"));
    QCOMPARE(client.request("unset_remote_app_server"), QByteArray("\n"));
}

void LoginTest::loginFreeRequests()
{
    TestClient client(server->port());
    QCOMPARE(client.request("get_user_from_card?1"), QByteArray("alice\n"));
    QCOMPARE(client.request("get_user_from_card?987654"), QByteArray("\n"));
    QCOMPARE(client.request("get_user_from_card?0' OR '1'='1"), QByteArray("\n"));
    QCOMPARE(client.request("get_user_from_card?"), QByteArray("Not authenticated"));
}

void LoginTest::debugNoAuth_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("bypassed");
    QTest::newRow("1") << "1" << true;
    QTest::newRow("true") << "true" << false;
    QTest::newRow("01") << "01" << false;
}

void LoginTest::debugNoAuth()
{
    QFETCH(QString, value);
    QFETCH(bool, bypassed);
    TestServer open;
    open.setEnv("DEBUG_NOAUTH", value);
    QVERIFY(open.start());
    TestClient client(open.port());
    QCOMPARE(client.request("login?anyone&admins&nothing"), bypassed ? ok : bad);
    QCOMPARE(client.request("start_server?x"), bypassed ? QByteArray("\n") : QByteArray("Not authenticated"));
    QCOMPARE(open.logContents().contains("DEBUG_NOAUTH"), bypassed);
}

void LoginTest::principalServerWhenDatabaseIsClosed()
{
    FakePeer principal;
    principal.answer("validate?carol&&", "Ok\n");
    principal.answer("validate?", "Error: Bad authentication\n");
    TestServer offline;
    offline.setSetting("Server/MySqlServerPort", TestServer::freePort());
    offline.setSetting("Server/AmbrixPrincipalServerAddress", "127.0.0.1");
    offline.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    offline.setSetting("Server/ServerToken", "local-token");
    QVERIFY(offline.start());

    TestClient client(offline.port());
    QCOMPARE(client.request("login?carol&&pass&word"), ok);
    QVERIFY(principal.waitForMessages(1));
    QCOMPARE(principal.messages().first(), QByteArray("validate?carol&&pass&word\n"));
    // Refused by the principal: the server token is tried next.
    QCOMPARE(client.request("login?dave&&local-token"), ok);
    QCOMPARE(client.request("login?dave&&nothing"), bad);
    // A validate request is never passed on to the principal.
    const int before = principal.messages().size();
    QCOMPARE(client.request("validate?carol&&pass&word"), bad);
    QCOMPARE(client.request("validate?dave&&local-token"), ok);
    QCOMPARE(principal.messages().size(), before);

    // On the principal server itself nobody is asked.
    offline.setSetting("Server/AmbrixServer", "true");
    QCOMPARE(client.request("login?carol&&pass&word"), bad);
    QCOMPARE(principal.messages().size(), before);
}

void LoginTest::serverRegistryRequests()
{
    TestDatabase db;
    const QString serverToken = db.value("SELECT token FROM ax_server WHERE address='127.0.0.1' ORDER BY id LIMIT 1");
    QVERIFY(!serverToken.isEmpty());
    TestClient client(server->port());
    // Without login, for the connection's own address.
    QCOMPARE(client.request("set_server_information?wrong&os_id&2"),
             QByteArray("Invalid token for server 127.0.0.1\n"));
    QCOMPARE(client.request("set_server_information?" + serverToken.toUtf8() + "&no_such_role&1"),
             QByteArray("Invalid server type no_such_role\n"));

    // set_server_token: administrators only, for this client's address and the given port.
    const int port = 40000 + int(QCoreApplication::applicationPid() % 20000);
    const QString rows = QString("SELECT COUNT(*) FROM ax_server WHERE address='127.0.0.1' AND port=%1").arg(port);
    TestClient plain(server->port());
    QCOMPARE(plain.request(QByteArray("login?alice&no-such-admins&") + AliceToken),
             QByteArray("Error: Not in admin group\n"));
    QCOMPARE(plain.request("set_server_token?" + QByteArray::number(port) + "&tok"), QByteArray("\n"));
    QCOMPARE(db.value(rows), QStringLiteral("0"));
    QCOMPARE(loginWith(client, "alice", "", AliceToken), ok);
    QCOMPARE(client.request("set_server_token?" + QByteArray::number(port) + "&tok"), QByteArray("Ok\n"));
    QCOMPARE(db.value(rows), QStringLiteral("1"));
    QVERIFY(db.exec(QString("DELETE FROM ax_server WHERE address='127.0.0.1' AND port=%1").arg(port)));
}

QTEST_GUILESS_MAIN(LoginTest)
#include "tst_login.moc"
