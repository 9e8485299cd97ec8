// Registration from the command line: the real binary against a fake principal server, and on
// the principal server itself against the real test database.
#include "fakepeer.h"
#include "net/axserver.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QStringList credentials{"-u", "admin", "-w", "s3cr3t-pw"};

QString storedToken(const TestServer &server)
{
    return QSettings(server.settingsPath(), QSettings::IniFormat).value("Server/ServerToken").toString();
}

// The messages a principal should have seen, with TOKEN standing for this server's token.
QList<QByteArray> expected(const QStringList &messages, const QString &token)
{
    QList<QByteArray> result;
    for (const QString &m : messages)
        result << QString(m).replace("TOKEN", token).toUtf8();
    return result;
}

QStringList roleMessages(const QStringList &values)
{
    const QStringList types{"ambrix_server", "console_server", "domain_server", "desktop_server",
                            "application_server", "rdp_proxy_server", "web_client_server",
                            "home_storage_server", "storage_server", "infrastructure_server", "pxe_server"};
    QStringList messages;
    for (int i = 0; i < types.size(); ++i)
        messages << "set_server_information?TOKEN&" + types.at(i) + "&" + values.at(i);
    return messages;
}

} // namespace

class RegistrationTest : public QObject
{
    Q_OBJECT

private slots:
    void credentialsPath_data();
    void credentialsPath();
    void tokenKeptOnSecondRun();
    void informationPath_data();
    void informationPath();
    void unreachablePrincipal();
    void unstorableTokenStopsEarly();
    void progress_data();
    void progress();
    void principalWritesItsOwnRecord();
    void principalWithoutDatabase();
};

void RegistrationTest::credentialsPath_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QByteArray>("fragment");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("messages");

    const QStringList all{"login?admin&&s3cr3t-pw\n", "set_server_token?4445&TOKEN", "quit\n"};
    QTest::newRow("accepted") << QVariantMap() << QByteArray() << QByteArray() << 0 << all;
    QTest::newRow("own port from settings")
        << QVariantMap{{"Server/ServerPort", "5123"}} << QByteArray() << QByteArray() << 0
        << QStringList{"login?admin&&s3cr3t-pw\n", "set_server_token?5123&TOKEN", "quit\n"};
    QTest::newRow("switch reads true, not 1") << QVariantMap{{"Server/AmbrixServer", "true"}}
                                              << QByteArray() << QByteArray() << 0 << all;
    QTest::newRow("login refused") << QVariantMap() << QByteArray("login?")
                                   << QByteArray("Error: Bad authentication\n") << 255
                                   << QStringList{"login?admin&&s3cr3t-pw\n", "quit\n"};
    QTest::newRow("token refused") << QVariantMap() << QByteArray("set_server_token?")
                                   << QByteArray("Error setting token\n") << 254 << all;
    QTest::newRow("token unanswered") << QVariantMap() << QByteArray("set_server_token?")
                                      << QByteArray("\n") << 254 << all;
}

void RegistrationTest::credentialsPath()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QByteArray, fragment);
    QFETCH(QByteArray, reply);
    QFETCH(int, exitCode);
    QFETCH(QStringList, messages);

    FakePeer principal;
    if (!fragment.isEmpty())
        principal.answer(fragment, reply);
    TestServer server;
    server.setSetting("Server/AmbrixPrincipalServerAddress", "127.0.0.1");
    server.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        server.setSetting(it.key(), it.value());

    const RunResult run = server.run(credentials);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    const QString token = storedToken(server);
    QVERIFY2(QRegularExpression("^[A-Za-z0-9]{64}$").match(token).hasMatch(), qPrintable(token));
    QVERIFY(principal.waitForMessages(messages.size()));
    QCOMPARE(principal.messages(), expected(messages, token));
    QVERIFY(!run.standardError.contains("s3cr3t-pw"));
    QVERIFY(!run.standardOutput.contains("s3cr3t-pw"));
}

void RegistrationTest::tokenKeptOnSecondRun()
{
    FakePeer principal;
    TestServer server;
    server.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    QCOMPARE(server.run(credentials).exitCode, 0);
    const QString token = storedToken(server);
    QCOMPARE(token.size(), 64);
    QCOMPARE(server.run(credentials).exitCode, 0);
    QCOMPARE(storedToken(server), token);
    QVERIFY(principal.waitForMessages(6));
    QCOMPARE(principal.messages().at(4), "set_server_token?4445&" + token.toUtf8());
}

void RegistrationTest::informationPath_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("roleReply");
    QTest::addColumn<QByteArray>("osReply");
    QTest::addColumn<int>("exitCode");

    const QStringList userOnly{"-u", "admin"};
    QTest::newRow("all Ok") << userOnly << QByteArray("Ok\n") << QByteArray("Ok\n") << 0;
    QTest::newRow("a role refused") << userOnly << QByteArray("Invalid token for server 127.0.0.1\n")
                                    << QByteArray("Ok\n") << 1;
    QTest::newRow("os refused") << userOnly << QByteArray("Ok\n") << QByteArray("Error\n") << 2;
    QTest::newRow("both refused") << userOnly << QByteArray("No server 127.0.0.1\n")
                                  << QByteArray("No server 127.0.0.1\n") << 2;
}

void RegistrationTest::informationPath()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, roleReply);
    QFETCH(QByteArray, osReply);
    QFETCH(int, exitCode);

    FakePeer principal;
    principal.answer("&domain_server&", roleReply);
    principal.answer("&os_id&", osReply);
    TestServer server;
    server.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    server.setSetting("Server/ConsoleServer", "1");
    server.setSetting("Server/PXEServer", "1");
    server.setSetting("Server/VirtualizationServer", "1");

    const RunResult run = server.run(args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    // A refusal does not stop the delivery: every role and the system id are still sent.
    const QStringList messages = roleMessages({"0", "1", "0", "0", "0", "0", "0", "0", "0", "1", "1"})
                                 + QStringList{"set_server_information?TOKEN&os_id&2", "quit\n"};
    QVERIFY(principal.waitForMessages(messages.size()));
    QCOMPARE(principal.messages(), expected(messages, storedToken(server)));
}

void RegistrationTest::unreachablePrincipal()
{
    TestServer server;
    server.setSetting("Server/AmbrixPrincipalServerPort", TestServer::freePort());
    for (const QStringList &args : {credentials, QStringList{"-u", "admin"}}) {
        const RunResult run = server.run(args);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 253);
    }
    QCOMPARE(storedToken(server).size(), 64);
}

void RegistrationTest::unstorableTokenStopsEarly()
{
    // The settings path is a directory: the new token cannot be kept, so it is not handed out.
    TestServer server;
    QVERIFY(QFile::remove(server.settingsPath()));
    QVERIFY(QDir().mkpath(server.settingsPath()));
    const RunResult run = server.run(credentials);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 254);
    QVERIFY(run.standardError.contains("Cannot store the server token"));
    QVERIFY(!run.standardError.contains("Connecting to"));
}

void RegistrationTest::progress_data()
{
    QTest::addColumn<QByteArray>("loginReply");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QStringList>("steps");
    const QString start = "10 Starting server information delivery...";
    const QString connected = "30 Connected to server";
    QTest::newRow("done") << QByteArray("Authentication ok.\n") << true
                          << QStringList{start, connected, "99 Closing socket", "100 Done"};
    QTest::newRow("login refused") << QByteArray("Error: Bad authentication\n") << true
                                   << QStringList{start, connected};
    QTest::newRow("unreachable") << QByteArray() << false
                                 << QStringList{start, "99 Closing socket", "100 Done"};
}

void RegistrationTest::progress()
{
    QFETCH(QByteArray, loginReply);
    QFETCH(bool, reachable);
    QFETCH(QStringList, steps);

    FakePeer principal;
    principal.answer("login?", loginReply);
    TestServer server;
    server.setSetting("Server/AmbrixPrincipalServerPort", reachable ? principal.port() : TestServer::freePort());
    qputenv("PROGRAMW6432", server.programFilesDir().toUtf8());

    AXServer axServer;
    int percent = -1;
    QStringList seen;
    connect(&axServer, &AXServer::progress, [&](int p) { percent = p; });
    connect(&axServer, &AXServer::progressText, [&](const QString &text) {
        seen << QString::number(percent) + " " + text;
    });
    axServer.registration("admin", "pw");
    QCOMPARE(seen, steps);
}

void RegistrationTest::principalWritesItsOwnRecord()
{
    TestDatabase db;
    QVERIFY2(db.lastError().isEmpty(), qPrintable(db.lastError()));
    const QString address = QStringLiteral("tst-registration-%1").arg(QCoreApplication::applicationPid());
    db.exec("DELETE FROM ax_server WHERE address='" + address + "'");
    auto cleanup = qScopeGuard([&] { db.exec("DELETE FROM ax_server WHERE address='" + address + "'"); });

    TestServer server;
    server.setSetting("Server/AmbrixServer", 1);
    server.setSetting("Server/AmbrixPrincipalServerAddress", address);
    server.setSetting("Server/ServerPort", "4888");
    server.setSetting("Server/ConsoleServer", "1");
    server.setSetting("Server/PXEServer", "1");
    const QString rowQuery = "SELECT port, os_id, active, token, ambrix_server, console_server, domain_server, "
                             "desktop_server, application_server, rdp_proxy_server, web_client_server, "
                             "home_storage_server, storage_server, infrastructure_server, pxe_server "
                             "FROM ax_server WHERE address='" + address + "'";

    RunResult run = server.run(credentials);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QString token = storedToken(server);
    QCOMPARE(token.size(), 64);
    QCOMPARE(db.rows(rowQuery), QList<QStringList>({{"4888", "2", "1", token, "1", "1", "0", "0", "0", "0",
                                                     "0", "0", "0", "0", "1"}}));
    QVERIFY(run.standardError.contains("password: **********"));
    QVERIFY(!run.standardError.contains(testDbParameters().password.toUtf8()));

    // Second run: same token, same single row, roles as the settings say now.
    server.setSetting("Server/ConsoleServer", "0");
    run = server.run(credentials);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(storedToken(server), token);
    QCOMPARE(db.rows(rowQuery), QList<QStringList>({{"4888", "2", "1", token, "1", "0", "0", "0", "0", "0",
                                                     "0", "0", "0", "0", "1"}}));
}

void RegistrationTest::principalWithoutDatabase()
{
    TestServer server;
    server.setSetting("Server/AmbrixServer", 1);
    server.setSetting("Server/MySqlServerPort", TestServer::freePort());
    const RunResult run = server.run(credentials);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 253);
    QVERIFY(run.standardError.contains("MySql server authentication failed"));
}

QTEST_GUILESS_MAIN(RegistrationTest)
#include "tst_registration.moc"
