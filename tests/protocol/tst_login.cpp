// Login over real TCP: the methods in order (database token, host account password with real
// accounts in a private copy of the account database, server token, principal server), admin
// groups, what the connection keeps, and that no password reaches the log or the debug output.
#include "fakepeer.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

using namespace SampleData;

namespace {

const QByteArray ok = "Authentication ok.\n";
const QByteArray bad = "Error: Bad authentication\n";
const QByteArray notAdmin = "Error: Not in admin group\n";

} // namespace

class LoginTest : public QObject
{
    Q_OBJECT

    QByteArray request(const QByteArray &message)
    {
        TestClient client(server.port());
        return client.request(message);
    }

    const QByteArray prefix = "axl" + QByteArray::number(QCoreApplication::applicationPid());
    const QByteArray user = prefix + "u";
    const QByteArray group = prefix + "g";
    TestServer server;
    std::unique_ptr<TestClient> admin;

private slots:
    void initTestCase()
    {
        server.setSetting("Server/ServerToken", "srv&Token?42");
        QVERIFY(server.start());
        QVERIFY(admin = server.login());
        QCOMPARE(admin->request("create_group?" + group), QByteArray("\n"));
        // Enabling answers the account's fresh token.
        const QByteArray token = admin->request("create_user?" + user + "&First-Pass1&" + group);
        QVERIFY2(QRegularExpression("^[A-Za-z0-9]{64}\n$").match(QString::fromLatin1(token)).hasMatch(), token);
    }

    void cleanupTestCase()
    {
        admin->request("remove_user?" + user);
        admin->request("remove_group?" + group);
    }

    void databaseToken_data()
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
        QTest::newRow("quote in name") << QByteArray("x' OR '1'='1") << QByteArray(AliceToken) << bad;
        // Any user name with this server's token; the password is everything after the second "&".
        QTest::newRow("server token") << QByteArray("someone") << QByteArray("srv&Token?42") << ok;
        QTest::newRow("server token cut short") << QByteArray("someone") << QByteArray("srv&Token?4") << bad;
    }

    void databaseToken()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, reply);
        TestClient client(server.port());
        QCOMPARE(client.request("login?" + user + "&&" + password), reply);
        // Logged in exactly when the login was accepted.
        QCOMPARE(client.request("get_remote_app_server_port"), reply == ok ? QByteArray("\n") : QByteArray("Not authenticated"));
    }

    void whatTheConnectionKeeps()
    {
        TestClient client(server.port());
        QCOMPARE(client.request(QByteArray("login?alice&no-such-admins&") + AliceToken), notAdmin);
        QCOMPARE(client.request("start_server?x"), QByteArray("\n"));
        // A failed second login keeps the first.
        const std::unique_ptr<TestClient> alice = server.login();
        QCOMPARE(alice->request("set_remote_app_server?3389&10.0.0.9"), QByteArray("\n"));
        QCOMPARE(alice->request("login?bob&&wrong"), bad);
        QCOMPARE(alice->request("get_remote_app_server_address"), QByteArray("10.0.0.9\n"));
        QCOMPARE(alice->request("unset_remote_app_server"), QByteArray("\n"));
    }

    void loginFreeRequests()
    {
        TestClient client(server.port());
        QCOMPARE(client.request("get_user_from_card?1"), QByteArray("alice\n"));
        QCOMPARE(client.request("get_user_from_card?987654"), QByteArray("\n"));
        QCOMPARE(client.request("get_user_from_card?0' OR '1'='1"), QByteArray("\n"));
        QCOMPARE(client.request("get_user_from_card?"), QByteArray("Not authenticated"));
    }

    void debugNoAuth_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("bypassed");
        QTest::newRow("1") << "1" << true;
        QTest::newRow("true") << "true" << false;
    }

    void debugNoAuth()
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

    void databaseOutOfReach()
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

        // The principal server is asked first.
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
        for (const char *request : {"start_session", "end_application?1&2"})
            QCOMPARE(client.request(request), QByteArray("Error inserting record on events database\n"));
        QVERIFY(offline.standardError().contains("MySql server authentication failed"));

        // On the principal server itself nobody is asked.
        offline.setSetting("Server/AmbrixServer", "true");
        QCOMPARE(client.request("login?carol&&pass&word"), bad);
        QCOMPARE(principal.messages().size(), before);
    }

    void serverRegistryRequests()
    {
        TestDatabase db;
        const QString serverToken = db.value("SELECT token FROM ax_server WHERE address='127.0.0.1' ORDER BY id LIMIT 1");
        QVERIFY(!serverToken.isEmpty());
        TestClient client(server.port());
        // Without login, for the connection's own address.
        QCOMPARE(client.request("set_server_information?wrong&os_id&2"), QByteArray("Invalid token for server 127.0.0.1\n"));
        QCOMPARE(client.request("set_server_information?" + serverToken.toUtf8() + "&no_such_role&1"),
                 QByteArray("Invalid server type no_such_role\n"));

        // set_server_token: administrators only, for this client's address and the given port.
        const QByteArray port = QByteArray::number(40000 + int(QCoreApplication::applicationPid() % 20000));
        const QString rows = "SELECT COUNT(*) FROM ax_server WHERE address='127.0.0.1' AND port=" + port;
        QCOMPARE(client.request(QByteArray("login?alice&no-such-admins&") + AliceToken), notAdmin);
        QCOMPARE(client.request("set_server_token?" + port + "&tok"), QByteArray("\n"));
        QCOMPARE(db.value(rows), QStringLiteral("0"));
        QCOMPARE(server.login()->request("set_server_token?" + port + "&tok"), QByteArray("Ok\n"));
        QCOMPARE(db.value(rows), QStringLiteral("1"));
        QVERIFY(db.exec("DELETE FROM ax_server WHERE address='127.0.0.1' AND port=" + port));
    }

    void hostAccountPassword()
    {
        // Not the address of the token rows above: their failures count against it.
        TestClient client(server.port(), "127.0.0.1", "127.0.3.1");
        QCOMPARE(client.request("login?" + user + "&&First-Pass1"), ok);
        QCOMPARE(client.request("login?" + user + "&" + group + "&First-Pass1"), ok);
        QCOMPARE(client.request("login?" + user + "&users-nobody-has&First-Pass1"), notAdmin);
        QCOMPARE(client.request("login?" + user + "&&first-pass1"), bad);
        QCOMPARE(client.request("validate?" + user + "&&First-Pass1"), ok);
    }

    void passwordChangeGuard()
    {
        // Logged in without privilege: an empty old password is a wrong parameter count.
        TestClient plain(server.port(), "127.0.0.1", "127.0.3.2");
        QCOMPARE(plain.request("login?" + user + "&users-nobody-has&First-Pass1"), notAdmin);
        const QByteArray refused = plain.request("modify_user_password?" + user + "&&Second-Pass2");
        QVERIFY2(refused.startsWith("Error: Invalid number of parameters for command modify_user_password("), refused);
        const QByteArray changed = "Success: Password for user " + user + " changed succesfully\n";
        QCOMPARE(plain.request("modify_user_password?" + user + "&First-Pass1&Second-Pass2"), changed);
        // An administrator may reset it without the old one.
        QCOMPARE(admin->request("modify_user_password?" + user + "&&Third-Pass3"), changed);
        QCOMPARE(TestClient(server.port(), "127.0.0.1", "127.0.3.2").request("login?" + user + "&&Third-Pass3"), ok);
    }

    // Host passwords cannot be guessed at network speed: after five failures from one address,
    // its host-password checks fail unattempted (the right password too), over any connection,
    // while other addresses and token logins go on.
    void guessingIsHeldBack_data()
    {
        QTest::addColumn<QByteArray>("wrong");
        QTest::addColumn<QByteArray>("right");
        QTest::addColumn<QByteArray>("refused");
        QTest::addColumn<QByteArray>("accepted");
        QTest::addColumn<QByteArray>("source");
        const QByteArray v = prefix + "v";
        QTest::newRow("login") << "login?" + v + "&&Guess-1" << "login?" + v + "&&Right-Pass1" << bad << ok
                               << QByteArray("127.0.4.1");
        QTest::newRow("validate") << "validate?" + v + "&&Guess-1" << "validate?" + v + "&&Right-Pass1" << bad << ok
                                  << QByteArray("127.0.4.2");
        QTest::newRow("old password") << "modify_user_password?" + v + "&Guess-1&Right-Pass1"
                                      << "modify_user_password?" + v + "&Right-Pass1&Right-Pass1"
                                      << QByteArray("Error: Cannot change password\n")
                                      << "Success: Password for user " + v + " changed succesfully\n"
                                      << QByteArray("127.0.4.3");
    }

    void guessingIsHeldBack()
    {
        QFETCH(QByteArray, wrong);
        QFETCH(QByteArray, right);
        QFETCH(QByteArray, refused);
        QFETCH(QByteArray, accepted);
        QFETCH(QByteArray, source);
        const QByteArray v = prefix + "v";
        admin->request("create_user?" + v + "&Right-Pass1&" + group);
        auto removeUser = qScopeGuard([&] { admin->request("remove_user?" + v); });
        const auto connection = [&](const char *from) {
            auto client = std::make_unique<TestClient>(server.port(), "127.0.0.1", from);
            if (wrong.startsWith("modify"))
                client->request(QByteArray("login?alice&&") + AliceToken);
            return client;
        };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(connection(source)->request(wrong), refused);
        QCOMPARE(connection(source)->request(right), refused);
        QCOMPARE(connection(source.chopped(1) + "9")->request(right), accepted);
        QCOMPARE(connection(source)->request(QByteArray("login?alice&&") + AliceToken), ok);
        QVERIFY(server.logContents().contains("Info: Host password checks from " + source + " held back"));
    }

    // With RequireAdminGroup, an empty admin group grants no privilege, and whatever changes the
    // platform's accounts, tokens or registrations needs it; without, nothing of that applies.
    void strictPrivilege_data()
    {
        QTest::addColumn<bool>("strict");
        QTest::newRow("strict") << true;
        QTest::newRow("as ever") << false;
    }

    void strictPrivilege()
    {
        QFETCH(bool, strict);
        server.setSetting("Server/RequireAdminGroup", strict);
        auto relax = qScopeGuard([this] { server.removeSetting("Server/RequireAdminGroup"); });
        const QByteArray g = prefix + (strict ? "s1" : "s2");
        TestClient plain(server.port());
        QCOMPARE(plain.request(QByteArray("login?alice&&") + AliceToken), ok);
        QCOMPARE(plain.request("create_group?" + g), QByteArray("\n"));
        QCOMPARE(plain.request("remove_group?" + g), strict ? QByteArray("\n") : "Success: Group " + g + " removed succesfully\n");
        QCOMPARE(plain.request("get_user_token?alice"), QByteArray(AliceToken) + "\n");
        QCOMPARE(plain.request("get_user_token?bob"), strict ? QByteArray("\n") : QByteArray(BobToken) + "\n");
        // A control channel only for one's own login.
        const QByteArray taken = "_serverCommand_set_remote_server?127.0.0.1&bob";
        QCOMPARE(plain.request(taken), strict ? QByteArray("Not authenticated") : QByteArray("Ok"));
        QCOMPARE(TestClient(server.port()).request(taken), strict ? QByteArray("Not authenticated") : QByteArray("Ok"));
        QCOMPARE(plain.request("_serverCommand_set_remote_server?127.0.0.1&alice"), QByteArray("Ok"));
        // A real admin group still grants it.
        TestClient member(server.port(), "127.0.0.1", "127.0.3.3");
        QCOMPARE(member.request("login?" + user + "&" + group + "&Third-Pass3"), ok);
        QCOMPARE(member.request("create_group?" + g), QByteArray("\n")); // none left by the plain login
        QCOMPARE(member.request("remove_group?" + g), "Success: Group " + g + " removed succesfully\n");
    }

    void passwordsStayOutOfLogs()
    {
        TestClient client(server.port());
        client.request("login?" + user + "&&Third-Pass3");
        client.request("create_user?" + user + "x&Fourth-Pass4&" + group);
        client.request("get_user_token?alice");
        admin->request("remove_user?" + user + "x");
        // Also what follows the password, and in a request with an admin group.
        request("login?someone&&S3cretPassw0rd&x");
        request("validate?someone&admins&An0therSecret");
        const QByteArray everything = server.standardError() + server.logContents();
        for (const QByteArray secret : {"First-Pass1", "Second-Pass2", "Third-Pass3", "Fourth-Pass4", "S3cretPassw0rd",
                                        "An0therSecret", "srv&Token?4", AliceToken, BobToken})
            QVERIFY2(!everything.contains(secret), secret.constData());
        QVERIFY(everything.contains("login?" + user + "&&**********"));
        QVERIFY(everything.contains("validate?someone&admins&"));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(LoginTest)
#include "tst_login.moc"
