// Registration: from the command line and from the dialog (driven as a user would) against a
// fake principal server, and on the principal server itself against the real test database, with
// the server registry on rows of its own; and the tokens it hands out.
#include "app/runmodes.h"
#include "db/mysqlinfo.h"
#include "fakepeer.h"
#include "app/axserver.h"
#include "registration/initdialog.h"
#include "registration/serverregistry.h"
#include "registration/tokengenerator.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

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


struct SeenBox {
    bool shown = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    int progress = -1;
    QString progressText;
};

// Calls action on the first visible window of type T, polling from whatever event loop runs.
template <typename T>
void whenShown(std::function<void(T *)> action)
{
    auto *timer = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, action] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            T *found = qobject_cast<T *>(window);
            if (found && found->isVisible()) {
                timer->stop();
                timer->deleteLater();
                action(found);
                return;
            }
        }
        if (deadline->hasExpired()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

QDialogButtonBox *buttonBoxOf(QWidget *dialog)
{
    return dialog->findChild<QDialogButtonBox *>("buttonBox");
}

// Closes the next message box and tells what it showed, and where the hidden dialog's progress stood.
void closeNextMessageBox(SeenBox *seen)
{
    whenShown<QMessageBox>([seen](QMessageBox *box) {
        seen->shown = true;
        seen->icon = box->icon();
        seen->title = box->windowTitle();
        seen->text = box->text();
        if (QWidget *dialog = box->parentWidget()) {
            seen->progress = dialog->findChild<QProgressBar *>("progressBar")->value();
            seen->progressText = dialog->findChild<QLabel *>("progressLabel")->text();
        }
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

class RegistrationTest : public QObject
{
    Q_OBJECT

    QList<QStringList> rowsOf(const QString &address, const QString &columns)
    {
        return fixture.rows("SELECT " + columns + " FROM ax_server WHERE address='" + QString(address).replace("'", "''") + "' ORDER BY id");
    }
    // The dialog registers the installation with the principal.
    void useInstallation()
    {
        principal.clear();
        qputenv("PROGRAMW6432", installation.programFilesDir().toUtf8());
    }

    TestDatabase fixture;
    std::unique_ptr<MySqlInfo> db;
    const QString prefix = QStringLiteral("tst-registry-%1-").arg(QCoreApplication::applicationPid());
    FakePeer principal;
    TestServer installation;

private slots:
    void initTestCase()
    {
        const TestDbParameters p = testDbParameters();
        db = std::make_unique<MySqlInfo>(p.host, p.port);
        QVERIFY(db->openDatabase(p.user, p.password, QStringLiteral("registry")));
        installation.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    }

    void cleanupTestCase() { fixture.exec("DELETE FROM ax_server WHERE address LIKE '" + prefix + "%'"); }

    void tokensAreUnpredictable()
    {
        const QRegularExpression form("^[A-Za-z0-9]{64}$");
        QSet<QString> seen;
        QSet<QChar> characters;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TokenGenerator::newToken();
            QVERIFY2(form.match(token).hasMatch(), qPrintable(token));
            seen.insert(token);
            for (QChar c : token)
                characters.insert(c);
        }
        // Tokens made back to back (same millisecond) differ, and the whole alphabet is used.
        QCOMPARE(seen.size(), 2000);
        QCOMPARE(characters.size(), 62);
    }

    void credentialsPath_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<QByteArray>("fragment");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("messages");
        const QStringList all{"login?admin&&s3cr3t-pw\n", "set_server_token?4445&TOKEN", "quit\n"};
        QTest::newRow("accepted") << QVariantMap() << QByteArray() << QByteArray() << 0 << all;
        QTest::newRow("own port from settings") << QVariantMap{{"Server/ServerPort", "5123"}} << QByteArray() << QByteArray() << 0
            << QStringList{"login?admin&&s3cr3t-pw\n", "set_server_token?5123&TOKEN", "quit\n"};
        QTest::newRow("switch reads true, not 1") << QVariantMap{{"Server/AmbrixServer", "true"}} << QByteArray()
                                                  << QByteArray() << 0 << all;
        QTest::newRow("login refused") << QVariantMap() << QByteArray("login?") << QByteArray("Error: Bad authentication\n")
                                       << 255 << QStringList{"login?admin&&s3cr3t-pw\n", "quit\n"};
        QTest::newRow("token refused") << QVariantMap() << QByteArray("set_server_token?")
                                       << QByteArray("Error setting token\n") << 254 << all;
        QTest::newRow("token unanswered") << QVariantMap() << QByteArray("set_server_token?") << QByteArray("\n") << 254 << all;
    }

    void credentialsPath()
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
        QVERIFY(!run.standardError.contains("s3cr3t-pw") && !run.standardOutput.contains("s3cr3t-pw"));
    }

    void informationPath_data()
    {
        QTest::addColumn<QByteArray>("roleReply");
        QTest::addColumn<QByteArray>("osReply");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("all Ok") << QByteArray("Ok\n") << QByteArray("Ok\n") << 0;
        QTest::newRow("a role refused") << QByteArray("Invalid token for server 127.0.0.1\n") << QByteArray("Ok\n") << 1;
        QTest::newRow("os refused") << QByteArray("Ok\n") << QByteArray("Error\n") << 2;
        QTest::newRow("both refused") << QByteArray("No server 127.0.0.1\n") << QByteArray("No server 127.0.0.1\n") << 2;
    }

    void informationPath()
    {
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
        const RunResult run = server.run({"-u", "admin"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, exitCode);
        // A refusal does not stop the delivery: every role and the system id are still sent.
        const QStringList types{"ambrix_server", "console_server", "domain_server", "desktop_server",
                                "application_server", "rdp_proxy_server", "web_client_server",
                                "home_storage_server", "storage_server", "infrastructure_server", "pxe_server"};
        const QString values = "01000000011";
        QStringList messages;
        for (int i = 0; i < types.size(); ++i)
            messages << "set_server_information?TOKEN&" + types.at(i) + "&" + values.at(i);
        messages << "set_server_information?TOKEN&os_id&2" << "quit\n";
        QVERIFY(principal.waitForMessages(messages.size()));
        QCOMPARE(principal.messages(), expected(messages, storedToken(server)));
    }

    void unreachablePrincipal()
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

    void unstorableTokenStopsEarly()
    {
        // The settings path is a directory: the new token cannot be kept, so it is not handed out.
        TestServer server;
        QVERIFY(QFile::remove(server.settingsPath()) && QDir().mkpath(server.settingsPath()));
        const RunResult run = server.run(credentials);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 254);
        QVERIFY(run.standardError.contains("Cannot store the server token"));
        QVERIFY(!run.standardError.contains("Connecting to"));
    }

    void progress_data()
    {
        QTest::addColumn<QByteArray>("loginReply");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QStringList>("steps");
        const QString start = "10 Starting server information delivery...";
        const QString connected = "30 Connected to server";
        QTest::newRow("done") << QByteArray("Authentication ok.\n") << true
                              << QStringList{start, connected, "99 Closing socket", "100 Done"};
        QTest::newRow("login refused") << QByteArray("Error: Bad authentication\n") << true << QStringList{start, connected};
        QTest::newRow("unreachable") << QByteArray() << false << QStringList{start, "99 Closing socket", "100 Done"};
    }

    void progress()
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
        connect(&axServer, &AXServer::progressText, [&](const QString &text) { seen << QString::number(percent) + " " + text; });
        axServer.registration("admin", "pw");
        QCOMPARE(seen, steps);
    }

    // Second run: same token, same single row, roles as the settings say now.
    void principalWritesItsOwnRecord()
    {
        const QString address = prefix + "principal";
        TestServer server;
        server.setSetting("Server/AmbrixServer", 1);
        server.setSetting("Server/AmbrixPrincipalServerAddress", address);
        server.setSetting("Server/ServerPort", "4888");
        server.setSetting("Server/PXEServer", "1");
        const QString rowQuery = "SELECT port, os_id, active, token, ambrix_server, console_server, domain_server, "
                                 "desktop_server, application_server, rdp_proxy_server, web_client_server, "
                                 "home_storage_server, storage_server, infrastructure_server, pxe_server "
                                 "FROM ax_server WHERE address='" + address + "'";
        QString firstToken;
        for (const QString console : {"1", "0"}) {
            server.setSetting("Server/ConsoleServer", console);
            const RunResult run = server.run(credentials);
            QCOMPARE(run.exitCode, 0);
            const QString token = storedToken(server);
            if (firstToken.isEmpty())
                firstToken = token;
            QCOMPARE(token.size(), 64);
            QCOMPARE(token, firstToken);
            QCOMPARE(fixture.rows(rowQuery), QList<QStringList>({{"4888", "2", "1", token, "1", console, "0", "0", "0", "0",
                                                             "0", "0", "0", "0", "1"}}));
            QVERIFY(run.standardError.contains("password: **********"));
            QVERIFY(!run.standardError.contains(testDbParameters().password.toUtf8()));
        }
    }

    void principalWithoutDatabase()
    {
        TestServer server;
        server.setSetting("Server/AmbrixServer", 1);
        server.setSetting("Server/MySqlServerPort", TestServer::freePort());
        const RunResult run = server.run(credentials);
        QCOMPARE(run.exitCode, 253);
        QVERIFY(run.standardError.contains("MySql server authentication failed"));
    }

    // A new server's row; its token replaced on the same row; another port is another server.
    void setServerToken()
    {
        const QString address = prefix + "new";
        const QString first(64, QLatin1Char('A'));
        const QString second(64, QLatin1Char('B'));
        QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 4999, first), QStringLiteral("Ok"));
        const QString id = rowsOf(address, "id").value(0).value(0);
        QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 4999, second), QStringLiteral("Ok"));
        QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 5000, first), QStringLiteral("Ok"));
        QCOMPARE(rowsOf(address, "id = " + id + ", name, port, os_id, active, token"),
                 QList<QStringList>({{"1", address, "4999", "2", "1", second}, {"0", address, "5000", "2", "1", first}}));
        // Too long for the address column: no row can be created, so no token is stored.
        const QString tooLong = prefix + QString(300, QLatin1Char('x'));
        QCOMPARE(ServerRegistry::setServerToken(db.get(), tooLong, 4445, first), QStringLiteral("Error setting token"));
        QCOMPARE(fixture.value("SELECT COUNT(*) FROM ax_server WHERE address LIKE '" + prefix + "xxx%'"), QStringLiteral("0"));
    }

    void setServerInformation_data()
    {
        // A fixture row (unless stored is "-") with the stored token ("NULL" for none), then one call.
        // The row afterwards: token, console_server, pxe_server, os_id, active.
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("attribute");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("after");
        const QString t1(64, QLatin1Char('1'));
        QTest::newRow("first claim") << "claim" << "NULL" << t1 << "console_server" << "1"
                                     << "Ok" << QStringList{t1, "1", "0", "2", "1"};
        QTest::newRow("same token") << "same" << t1 << t1 << "pxe_server" << "1" << "Ok" << QStringList{t1, "0", "1", "2", "0"};
        QTest::newRow("wrong token") << "wrong" << t1 << QString(64, QLatin1Char('2')) << "console_server" << "1"
                                     << "Invalid token for server %1" << QStringList{t1, "0", "0", "2", "0"};
        QTest::newRow("other columns refused") << "column" << t1 << t1 << "token" << "x"
                                               << "Invalid server type token" << QStringList{t1, "0", "0", "2", "0"};
        QTest::newRow("os_id accepted") << "os" << t1 << t1 << "os_id" << "7" << "Ok" << QStringList{t1, "0", "0", "7", "0"};
        QTest::newRow("hostile value") << "value" << t1 << t1 << "console_server" << "1', token='stolen"
                                       << "Error setting server type console_server on server: %1"
                                       << QStringList{t1, "0", "0", "2", "0"};
        QTest::newRow("hostile token kept verbatim") << "token" << "NULL" << "x', os_id='9" << "pxe_server" << "1"
                                                     << "Ok" << QStringList{"x', os_id='9", "0", "1", "2", "1"};
        QTest::newRow("hostile address") << "' OR '1'='1" << "-" << t1 << "console_server" << "1"
                                         << "No server %1" << QStringList();
    }

    void setServerInformation()
    {
        QFETCH(QString, address);
        QFETCH(QString, stored);
        QFETCH(QString, token);
        QFETCH(QString, attribute);
        QFETCH(QString, value);
        QFETCH(QString, reply);
        QFETCH(QStringList, after);
        address = prefix + "info-" + address;
        if (stored != "-") {
            QVERIFY2(fixture.exec("INSERT INTO ax_server (name, address, port, os_id, token, active) VALUES ('" + address
                                  + "', '" + address + "', 4445, 2, " + (stored == "NULL" ? stored : "'" + stored + "'") + ", 0)"),
                     qPrintable(fixture.lastError()));
        }
        QCOMPARE(ServerRegistry::setServerInformation(db.get(), token, attribute, value, address), QString(reply).replace("%1", address));
        QCOMPARE(rowsOf(address, "token, console_server, pxe_server, os_id, active"),
                 after.isEmpty() ? QList<QStringList>() : QList<QStringList>{after});
    }

    void dialogRunsNothing_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("cancel");
        QTest::newRow("cancel") << "admin" << "secret" << true;
        QTest::newRow("no user") << QString() << "secret" << false;
        QTest::newRow("no password") << "admin" << QString() << false;
    }

    void dialogRunsNothing()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, cancel);
        useInstallation();
        SeenBox seen;
        QStringList shown;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        whenShown<InitDialog>([&](InitDialog *dialog) {
            const QLineEdit *passwordEdit = dialog->findChild<QLineEdit *>("passwordLineEdit");
            shown << dialog->findChild<QLineEdit *>("usernameLineEdit")->text() << passwordEdit->text();
            echo = passwordEdit->echoMode();
            if (!cancel)
                closeNextMessageBox(&seen);
            buttonBoxOf(dialog)->button(cancel ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok)->click();
        });
        // Ok has already accepted the dialog when the complaint shows.
        QCOMPARE(RunModes::showInitDialog(user, password), cancel ? 1 : 0);
        QCOMPARE(shown, QStringList({user, password}));
        QCOMPARE(echo, QLineEdit::Password);
        QCOMPARE(seen.shown, !cancel);
        QCOMPARE(seen.icon, cancel ? QMessageBox::NoIcon : QMessageBox::Critical);
        QCOMPARE(seen.title + seen.text,
                 cancel ? QString() : QStringLiteral("Empty fieldsThe admin user name and password fields must not be empty"));
        QCOMPARE(principal.connectionsAccepted(), 0);
    }

    void okRegisters()
    {
        useInstallation();
        SeenBox seen;
        whenShown<InitDialog>([&](InitDialog *dialog) {
            dialog->findChild<QLineEdit *>("passwordLineEdit")->setText("typed");
            closeNextMessageBox(&seen);
            buttonBoxOf(dialog)->button(QDialogButtonBox::Ok)->click();
        });
        QCOMPARE(RunModes::showInitDialog("admin", QString()), 0);
        QVERIFY(seen.shown);
        QCOMPARE(seen.icon, QMessageBox::Information);
        QCOMPARE(seen.title, QStringLiteral("Initialization dialog"));
        QCOMPARE(seen.text, QStringLiteral("Initialization done"));
        QCOMPARE(seen.progress, 100);
        QCOMPARE(seen.progressText, QStringLiteral("Done"));
        const QString token = QSettings(installation.settingsPath(), QSettings::IniFormat)
                                  .value("Server/ServerToken").toString();
        QCOMPARE(token.size(), 64);
        QVERIFY(principal.waitForMessages(3));
        QCOMPARE(principal.messages(),
                 QList<QByteArray>({"login?admin&&typed\n", "set_server_token?4445&" + token.toUtf8(), "quit\n"}));
    }
};

QTEST_MAIN(RegistrationTest)
#include "tst_registration.moc"
