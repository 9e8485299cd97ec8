// Login by a host account's password and the admin-group check, with real accounts in a private
// copy of the account database; and that no password reaches the log or the debug output.
#include "privateaccounts.h"
#include "sampledata.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

class AccountLoginTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostAccountPassword();
    void passwordChangeGuard();
    void passwordsStayOutOfLogs();

private:
    QByteArray user;
    QByteArray group;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> admin;
};

void AccountLoginTest::initTestCase()
{
    const QByteArray prefix = "axl" + QByteArray::number(QCoreApplication::applicationPid());
    user = prefix + "u";
    group = prefix + "g";
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    admin = std::make_unique<TestClient>(server->port());
    QCOMPARE(admin->request(QByteArray("login?alice&&") + SampleData::AliceToken), QByteArray("Authentication ok.\n"));
    QCOMPARE(admin->request("create_group?" + group), QByteArray("\n"));
    // Enabling answers the account's fresh token.
    const QByteArray token = admin->request("create_user?" + user + "&First-Pass1&" + group);
    QVERIFY2(QRegularExpression("^[A-Za-z0-9]{64}\n$").match(QString::fromLatin1(token)).hasMatch(), token);
}

void AccountLoginTest::cleanupTestCase()
{
    admin->request("remove_user?" + user);
    admin->request("remove_group?" + group);
    admin.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
}

void AccountLoginTest::hostAccountPassword()
{
    TestClient client(server->port());
    QCOMPARE(client.request("login?" + user + "&&First-Pass1"), QByteArray("Authentication ok.\n"));
    QCOMPARE(client.request("login?" + user + "&" + group + "&First-Pass1"), QByteArray("Authentication ok.\n"));
    QCOMPARE(client.request("login?" + user + "&users-nobody-has&First-Pass1"), QByteArray("Error: Not in admin group\n"));
    QCOMPARE(client.request("login?" + user + "&&first-pass1"), QByteArray("Error: Bad authentication\n"));
    QCOMPARE(client.request("validate?" + user + "&&First-Pass1"), QByteArray("Authentication ok.\n"));
}

void AccountLoginTest::passwordChangeGuard()
{
    // Logged in without privilege: an empty old password is a wrong parameter count.
    TestClient plain(server->port());
    QCOMPARE(plain.request("login?" + user + "&users-nobody-has&First-Pass1"), QByteArray("Error: Not in admin group\n"));
    const QByteArray refused = plain.request("modify_user_password?" + user + "&&Second-Pass2");
    QVERIFY2(refused.startsWith("Error: Invalid number of parameters for command modify_user_password("), refused);
    QCOMPARE(plain.request("modify_user_password?" + user + "&wrong-old&Second-Pass2"),
             QByteArray("Error: Cannot change password\n"));
    const QByteArray changed = "Success: Password for user " + user + " changed succesfully\n";
    QCOMPARE(plain.request("modify_user_password?" + user + "&First-Pass1&Second-Pass2"), changed);
    // An administrator may reset it without the old one.
    QCOMPARE(admin->request("modify_user_password?" + user + "&&Third-Pass3"), changed);
    TestClient again(server->port());
    QCOMPARE(again.request("login?" + user + "&&Third-Pass3"), QByteArray("Authentication ok.\n"));
}

void AccountLoginTest::passwordsStayOutOfLogs()
{
    TestClient client(server->port());
    client.request("login?" + user + "&&Third-Pass3");
    client.request("create_user?" + user + "x&Fourth-Pass4&" + group);
    client.request("get_user_token?alice");
    admin->request("remove_user?" + user + "x");
    const QByteArray everything = server->standardError() + server->logContents();
    for (const QByteArray secret : {"First-Pass1", "Second-Pass2", "Third-Pass3", "Fourth-Pass4", SampleData::AliceToken})
        QVERIFY2(!everything.contains(secret), secret.constData());
    QVERIFY(everything.contains("login?" + user + "&&**********"));
}

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(AccountLoginTest)
#include "tst_accountlogin.moc"
