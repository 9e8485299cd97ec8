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

    // Logins and what follows them on one connection.
    void conversations_data() { addRowsFrom("login.rows"); }

    void conversations()
    {
        const QString source = field("source");
        const QString serverToken = db.value("SELECT token FROM ax_server WHERE address='127.0.0.1' ORDER BY id LIMIT 1");
        const auto fill = [&](QString text) {
            return text.replace("{A}", AliceToken).replace("{a}", QByteArray(AliceToken).toLower()).replace("{B}", BobToken)
                .replace("{S}", serverToken).replace("{U}", user).replace("{G}", group).replace("{P}", port)
                .replace("{ok}", ok).replace("{bad}", bad).replace("{notadmin}", notAdmin).split('|');
        };
        const QStringList sent = fill(field("messages")), expected = fill(field("replies"));
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

    // Host passwords cannot be guessed at network speed: after five failures for one user from
    // one address, that user's host-password checks from there fail unattempted (the right
    // password too), over any connection, while other addresses, other users and token logins go
    // on, until the address's own limit (eight here) holds back every user's checks from there.
    void guessingIsHeldBack_data() { addRowsFrom("login.rows", {{"v", prefix + "v"}}); }

    void guessingIsHeldBack()
    {
        server.setSetting("Server/LoginFailureAddressLimit", 8);
        auto relax = qScopeGuard([this] { server.removeSetting("Server/LoginFailureAddressLimit"); });
        const QString wrong = field("wrong"), right = field("right"), refused = field("refused"), source = field("source");
        const QByteArray v = prefix + "v", w = prefix + "w";
        admin->request("create_user?" + v + "&Right-Pass1&" + group);
        admin->request("create_user?" + w + "&Right-Pass1&" + group);
        auto removeUsers = qScopeGuard([&] {
            admin->request("remove_user?" + v);
            admin->request("remove_user?" + w);
        });
        const auto ask = [&](const QString &from, const QString &request) {
            TestClient client(server.port(), "127.0.0.1", qPrintable(from));
            if (request.startsWith("modify"))
                client.request(QByteArray("login?alice&&") + AliceToken);
            return QString::fromUtf8(client.request(request.toUtf8()));
        };
        const auto forW = [&](QString text) { return text.replace(QString(v), QString(w)); };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(ask(source, wrong), refused);
        QCOMPARE(ask(source, right), refused);
        QCOMPARE(ask(source.chopped(1) + "9", right), field("accepted"));
        QCOMPARE(ask(source, forW(right)), forW(field("accepted")));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(ask(source, forW(wrong)), refused);
        QCOMPARE(ask(source, forW(right)), refused);
        QCOMPARE(ask(source, QByteArray("login?alice&&") + AliceToken), QString(ok));
        const QByteArray log = server.logContents(), from = " from " + source.toUtf8() + " held back";
        QVERIFY(log.contains("Info: Host password checks for " + v + from) && log.contains("Info: Host password checks" + from));
    }

    // Checks in flight count: of 300 concurrent guesses five are checked, and the right password
    // among them is refused. PAM is made to count its checks and to hold them until released.
    void concurrentGuesses()
    {
        QTemporaryDir dir;
        const QString attempts = dir.filePath("attempts"), release = dir.filePath("release"), script = dir.filePath("check");
        QVERIFY(writeFile(script, "#!/bin/sh\necho \"$PAM_USER\" >> '" + attempts.toUtf8() + "'\nfor i in $(seq 600); do [ -e '"
                                      + release.toUtf8() + "' ] && exit 0; sleep 0.05; done\n"));
        QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(writeFile("/etc/pam.d/ambrix-server", "auth optional pam_exec.so quiet " + script.toUtf8() + "\n@include common-auth\n"));
        server.setSetting("Server/MaxClientsPerAddress", 1000);
        const QByteArray c = prefix + "c";
        admin->request("create_user?" + c + "&Right-Pass1&" + group);
        auto restore = qScopeGuard([&] {
            writeFile(release, "");
            QFile::remove("/etc/pam.d/ambrix-server");
            server.removeSetting("Server/MaxClientsPerAddress");
            admin->request("remove_user?" + c);
        });
        std::vector<std::unique_ptr<TestClient>> burst;
        QVector<QByteArray> replies(300);
        for (int i = 0; i < 300; ++i) {
            burst.push_back(std::make_unique<TestClient>(server.port(), "127.0.0.1", "127.0.5.1"));
            QVERIFY(burst.back()->send("login?" + c + "&&Guess-" + QByteArray::number(i)));
        }
        const auto answered = [&] {
            for (int i = 0; i < 300; ++i) {
                if (replies[i].isEmpty() && !burst[size_t(i)]->staysSilent(0))
                    replies[i] = burst[size_t(i)]->receiveExactly(bad.size());
            }
            return 300 - replies.count(QByteArray());
        };
        // Five guesses are being checked (held by PAM), every other one is refused unchecked.
        QVERIFY(waitUntil([&] { return answered() == 295; }, 60000));
        QCOMPARE(TestClient(server.port(), "127.0.0.1", "127.0.5.1").request("login?" + c + "&&Right-Pass1"), bad);
        QVERIFY(writeFile(release, ""));
        QVERIFY(waitUntil([&] { return answered() == 300; }, 60000));
        QCOMPARE(replies.count(bad), 300);
        QCOMPARE(TestClient(server.port(), "127.0.0.1", "127.0.5.1").request("login?" + c + "&&Right-Pass1"), bad);
        QCOMPARE(readFile(attempts).split('\n').count(c), 5);
        QCOMPARE(server.logContents().count("Info: Host password checks for " + c + " from 127.0.5.1 held back"), 1);
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
        // "alice@bob" is alice: bob's token stays bob's, alice's control channel is hers.
        TestClient at(server.port());
        QCOMPARE(at.request("login?alice@bob&&srv&Token?42"), ok);
        QCOMPARE(at.request("get_user_token?bob"), either("\n", QByteArray(BobToken) + "\n"));
        QCOMPARE(at.request("_serverCommand_set_remote_server?127.0.0.1&CORP\\alice"), QByteArray("Ok"));
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
