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

    const QByteArray prefix = "axl" + QByteArray::number(QCoreApplication::applicationPid());
    const QByteArray user = prefix + "u";
    const QByteArray group = prefix + "g";
    const QByteArray port = QByteArray::number(40000 + int(QCoreApplication::applicationPid() % 20000));
    TestDatabase db;
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
        db.exec("DELETE FROM ax_server WHERE address='127.0.0.1' AND port=" + port);
    }

    // One connection from the source address: the messages and their replies, "|" between (a reply
    // starting "~": its start). {A}/{a}: alice's token as is and in lower case, {B}: bob's, {S}: the
    // token of this machine's server row, {U}/{G}: the host account and its group. Rows run in
    // order: the host account's password changes on the way.
    void conversations_data()
    {
        const QString na = "Not authenticated", portNow = "get_remote_app_server_port";
        addRows({"source", "messages", "replies"}, {
            {"token", "", "login?alice&&{A}|" + portNow, "{ok}|\n"},
            {"backslash domain", "", "login?CORP\\alice&&{A}|" + portNow, "{ok}|\n"},
            {"plus domain", "", "login?CORP+alice&&{A}|" + portNow, "{ok}|\n"},
            // user@domain keeps the part after "@": no such user.
            {"at domain", "", "login?alice@CORP&&{A}|" + portNow, "{bad}|" + na},
            {"other user's token", "", "login?alice&&{B}|" + portNow, "{bad}|" + na},
            {"token in other case", "", "login?alice&&{a}|" + portNow, "{bad}|" + na},
            {"empty password", "", "login?alice&&|" + portNow, "{bad}|" + na},
            {"quote in name", "", "login?x' OR '1'='1&&{A}|" + portNow, "{bad}|" + na},
            // Any user name with this server's token; the password is everything after the second "&".
            {"server token", "", "login?someone&&srv&Token?42|" + portNow, "{ok}|\n"},
            {"server token cut short", "", "login?someone&&srv&Token?4|" + portNow, "{bad}|" + na},
            {"outside the admin group, logged in", "", "login?alice&no-such-admins&{A}|start_server?x", "{notadmin}|\n"},
            {"a failed second login keeps the first", "",
             "login?alice&&{A}|set_remote_app_server?3389&10.0.0.9|login?bob&&wrong|get_remote_app_server_address|unset_remote_app_server",
             "{ok}|\n|{bad}|10.0.0.9\n|\n"},
            {"login-free card lookup", "", "get_user_from_card?1|get_user_from_card?987654|get_user_from_card?0' OR '1'='1|get_user_from_card?",
             "alice\n|\n|\n|" + na},
            // For the connection's own address, without login.
            {"server information", "", "set_server_information?wrong&os_id&2|set_server_information?{S}&no_such_role&1",
             "Invalid token for server 127.0.0.1\n|Invalid server type no_such_role\n"},
            {"server token for administrators only", "", "login?alice&no-such-admins&{A}|set_server_token?{P}&tok|login?alice&&{A}|"
             "set_server_token?{P}&tok", "{notadmin}|\n|{ok}|Ok\n"},
            // Not the address of the token rows above: their failures count against it.
            {"host account", "127.0.3.1", "login?{U}&&First-Pass1|login?{U}&{G}&First-Pass1|login?{U}&users-nobody-has&First-Pass1|"
             "login?{U}&&first-pass1|validate?{U}&&First-Pass1", "{ok}|{ok}|{notadmin}|{bad}|{ok}"},
            // Without privilege an empty old password is a wrong parameter count.
            {"password change", "127.0.3.2", "login?{U}&users-nobody-has&First-Pass1|modify_user_password?{U}&&Second-Pass2|"
             "modify_user_password?{U}&First-Pass1&Second-Pass2", "{notadmin}|~Error: Invalid number of parameters for command "
             "modify_user_password(|Success: Password for user {U} changed succesfully\n"},
            {"administrator's reset", "", "login?alice&&{A}|modify_user_password?{U}&&Third-Pass3",
             "{ok}|Success: Password for user {U} changed succesfully\n"},
            {"login after the reset", "127.0.3.2", "login?{U}&&Third-Pass3", "{ok}"}});
    }

    void conversations()
    {
        QFETCH(QString, source);
        QFETCH(QString, messages);
        QFETCH(QString, replies);
        const QString serverToken = db.value("SELECT token FROM ax_server WHERE address='127.0.0.1' ORDER BY id LIMIT 1");
        const auto fill = [&](QString text) {
            return text.replace("{A}", AliceToken).replace("{a}", QByteArray(AliceToken).toLower()).replace("{B}", BobToken)
                .replace("{S}", serverToken).replace("{U}", user).replace("{G}", group).replace("{P}", port)
                .replace("{ok}", ok).replace("{bad}", bad).replace("{notadmin}", notAdmin).split('|');
        };
        const QStringList sent = fill(messages), expected = fill(replies);
        TestClient client(server.port(), "127.0.0.1", source.isEmpty() ? nullptr : qPrintable(source));
        for (int i = 0; i < sent.size(); ++i) {
            const QString got = QString::fromUtf8(client.request(sent[i].toUtf8()));
            if (expected[i].startsWith('~'))
                QVERIFY2(got.startsWith(expected[i].mid(1)), qPrintable(sent[i] + ": " + got));
            else
                QCOMPARE(got, expected[i]);
        }
    }

    void debugNoAuth_data()
    {
        addRows({"value"}, {{"bypass", "1"}, {"only 1 counts", "true"}});
    }

    void debugNoAuth()
    {
        QFETCH(QString, value);
        const bool bypassed = value == "1";
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

    // Host passwords cannot be guessed at network speed: after five failures from one address,
    // its host-password checks fail unattempted (the right password too), over any connection,
    // while other addresses and token logins go on.
    void guessingIsHeldBack_data()
    {
        const QString success = "Success: Password for user " + prefix + "v changed succesfully\n";
        addRows({"wrong", "right", "refused", "accepted", "source"}, {
            {"login", "login?{v}&&Guess-1", "login?{v}&&Right-Pass1", bad, ok, "127.0.4.1"},
            {"validate", "validate?{v}&&Guess-1", "validate?{v}&&Right-Pass1", bad, ok, "127.0.4.2"},
            {"old password", "modify_user_password?{v}&Guess-1&Right-Pass1", "modify_user_password?{v}&Right-Pass1&Right-Pass1",
             "Error: Cannot change password\n", success, "127.0.4.3"}});
    }

    void guessingIsHeldBack()
    {
        QFETCH(QString, wrong);
        QFETCH(QString, right);
        QFETCH(QString, refused);
        QFETCH(QString, accepted);
        QFETCH(QString, source);
        const QByteArray v = prefix + "v";
        admin->request("create_user?" + v + "&Right-Pass1&" + group);
        auto removeUser = qScopeGuard([&] { admin->request("remove_user?" + v); });
        const auto ask = [&](const QString &from, const QString &request) {
            TestClient client(server.port(), "127.0.0.1", qPrintable(from));
            if (request.startsWith("modify"))
                client.request(QByteArray("login?alice&&") + AliceToken);
            return QString::fromUtf8(client.request(QString(request).replace("{v}", v).toUtf8()));
        };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(ask(source, wrong), refused);
        QCOMPARE(ask(source, right), refused);
        QCOMPARE(ask(source.chopped(1) + "9", right), accepted);
        QCOMPARE(ask(source, QByteArray("login?alice&&") + AliceToken), QString(ok));
        QVERIFY(server.logContents().contains("Info: Host password checks from " + source.toUtf8() + " held back"));
    }

    // With RequireAdminGroup, an empty admin group grants no privilege, and whatever changes the
    // platform's accounts, tokens or registrations needs it; without, nothing of that applies.
    void strictPrivilege_data()
    {
        addRows({"strict"}, {{"strict", "yes"}, {"as ever", ""}});
    }

    void strictPrivilege()
    {
        QFETCH(QString, strict);
        server.setSetting("Server/RequireAdminGroup", !strict.isEmpty());
        auto relax = qScopeGuard([this] { server.removeSetting("Server/RequireAdminGroup"); });
        const QByteArray g = prefix + (strict.isEmpty() ? "s2" : "s1");
        const auto either = [&](const QByteArray &ifStrict, const QByteArray &otherwise) {
            return strict.isEmpty() ? otherwise : ifStrict;
        };
        TestClient plain(server.port());
        QCOMPARE(plain.request(QByteArray("login?alice&&") + AliceToken), ok);
        QCOMPARE(plain.request("create_group?" + g), QByteArray("\n"));
        QCOMPARE(plain.request("remove_group?" + g), either("\n", "Success: Group " + g + " removed succesfully\n"));
        QCOMPARE(plain.request("get_user_token?alice"), QByteArray(AliceToken) + "\n");
        QCOMPARE(plain.request("get_user_token?bob"), either("\n", QByteArray(BobToken) + "\n"));
        // A control channel only for one's own login.
        const QByteArray taken = "_serverCommand_set_remote_server?127.0.0.1&bob";
        QCOMPARE(plain.request(taken), either("Not authenticated", "Ok"));
        QCOMPARE(TestClient(server.port()).request(taken), either("Not authenticated", "Ok"));
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
        TestClient(server.port()).request("login?someone&&S3cretPassw0rd&x");
        TestClient(server.port()).request("validate?someone&admins&An0therSecret");
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
