// Registration: from the command line and from the dialog (driven as a user would) against a
// fake principal server, and on the principal server itself against the real test database, with
// the server registry on rows of its own; and the tokens it hands out.
#include "app/axserver.h"
#include "app/runmodes.h"
#include "db/mysqlinfo.h"
#include "fakepeer.h"
#include "registration/initdialog.h"
#include "registration/serverregistry.h"
#include "registration/tokengenerator.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

namespace {

const QRegularExpression tokenForm("^[A-Za-z0-9]{64}$");

// Calls action on the first visible window of type T, polling from whatever event loop runs.
template <typename T>
void whenShown(std::function<void(T *)> action)
{
    auto *timer = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(10000);
    QObject::connect(timer, &QTimer::timeout, [timer, deadline, action] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            T *found = qobject_cast<T *>(window);
            if ((found && found->isVisible()) || deadline->hasExpired()) {
                timer->stop();
                timer->deleteLater();
                if (found && found->isVisible())
                    action(found);
                return;
            }
        }
    });
    timer->start(10);
}

} // namespace

class RegistrationTest : public QObject
{
    Q_OBJECT

    QList<QStringList> rowsOf(const QString &address, const QString &columns)
    {
        return fixture.rows("SELECT " + columns + " FROM ax_server WHERE address='" + QString(address).replace("'", "''")
                            + "' ORDER BY id");
    }

    TestDatabase fixture;
    std::unique_ptr<MySqlInfo> db;
    const QString prefix = QStringLiteral("tst-registry-%1-").arg(QCoreApplication::applicationPid());
    FakePeer principal;       // of the dialog's installation
    TestServer installation;

private slots:
    void initTestCase()
    {
        const TestDbParameters p = testDbParameters();
        db = std::make_unique<MySqlInfo>(p.host, p.port);
        QVERIFY(db->openDatabase(p.user, p.password));
        installation.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
    }

    void cleanupTestCase() { fixture.exec("DELETE FROM ax_server WHERE address LIKE '" + prefix + "%'"); }

    void tokensAreUnpredictable()
    {
        QSet<QString> seen;
        QSet<QChar> characters;
        for (int i = 0; i < 2000; ++i) {
            const QString token = TokenGenerator::newToken();
            QVERIFY2(tokenForm.match(token).hasMatch(), qPrintable(token));
            seen.insert(token);
            for (QChar c : token)
                characters.insert(c);
        }
        // Tokens made back to back (same millisecond) differ, and the whole alphabet is used.
        QCOMPARE(seen.size(), 2000);
        QCOMPARE(characters.size(), 62);
    }

    // The command-line registration, both ways: with a password (token), without (roles).
    void commandLine_data()
    {
        const QString flags = "01000000011"; // console, virtualization and PXE server
        QStringList information;
        for (int i = 0; i < int(ServerRegistry::Roles.size()); ++i)
            information << "set_server_information?TOKEN&" + QString(ServerRegistry::Roles[i].serverType) + "&" + flags[i];
        information << "set_server_information?TOKEN&os_id&2" << "quit\n";
        addRowsFrom("registration.rows", {{"roles", "Server/ConsoleServer=1;Server/PXEServer=1;Server/VirtualizationServer=1"},
                                          {"information", information.join('|')}});
    }

    void commandLine()
    {
        const QString settings = field("settings"), messages = field("messages"), complaint = field("complaint");
        FakePeer principal;
        for (const QString &rule : field("answers").split(';', Qt::SkipEmptyParts))
            principal.answer(rule.section('=', 0, 0).toUtf8(), rule.section('=', 1).toUtf8());
        TestServer server;
        server.setSetting("Server/AmbrixPrincipalServerAddress", "127.0.0.1");
        server.setSetting("Server/AmbrixPrincipalServerPort", principal.port());
        for (const QString &setting : settings.split(';', Qt::SkipEmptyParts))
            server.setSetting(setting.section('=', 0, 0), setting.section('=', 1).replace("<dead>", QString::number(TestServer::freePort())));
        if (settings == "unstorable")
            QVERIFY(QFile::remove(server.settingsPath()) && QDir().mkpath(server.settingsPath()));
        const ProgramResult run = server.run(field("args").split(' '));
        QCOMPARE(run.exitCode, field("exitCode").toInt());
        QVERIFY2(run.err.contains(complaint.toUtf8()), run.err.constData());
        QVERIFY(settings != "unstorable" || !run.err.contains("Connecting to"));
        QVERIFY(!run.err.contains("s3cr3t-pw") && !run.out.contains("s3cr3t-pw"));
        if (messages.isEmpty())
            return;
        const QString token = server.setting("Server/ServerToken").toString();
        QVERIFY2(tokenForm.match(token).hasMatch(), qPrintable(token));
        // Rewritten by root, the settings stay readable to the serving account.
        QCOMPARE(QFileInfo(server.settingsPath()).group(), QStringLiteral("ambrix-server"));
        const QStringList expected = QString(messages).replace("TOKEN", token).split('|');
        QVERIFY(principal.waitForMessages(expected.size()));
        QStringList got;
        for (const QByteArray &message : principal.messages())
            got << QString::fromUtf8(message);
        QCOMPARE(got, expected);
    }

    void progress_data() { addRowsFrom("registration.rows"); }

    void progress()
    {
        const QString loginReply = field("loginReply");
        FakePeer principal;
        principal.answer("login?", loginReply.toUtf8());
        TestServer server;
        server.setSetting("Server/AmbrixPrincipalServerPort", loginReply.isEmpty() ? TestServer::freePort() : principal.port());
        qputenv("PROGRAMW6432", server.programFilesDir().toUtf8());
        AXServer axServer;
        int percent = -1;
        QStringList seen;
        connect(&axServer, &AXServer::progress, [&](int p) { percent = p; });
        connect(&axServer, &AXServer::progressText, [&](const QString &text) { seen << QString::number(percent) + " " + text; });
        axServer.registration("admin", "pw");
        QCOMPARE(seen.join('|'), field("steps"));
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
        QString firstToken;
        for (const QString console : {"1", "0"}) {
            server.setSetting("Server/ConsoleServer", console);
            const ProgramResult run = server.run({"-u", "admin", "-w", "s3cr3t-pw"});
            QCOMPARE(run.exitCode, 0);
            const QString token = server.setting("Server/ServerToken").toString();
            firstToken = firstToken.isEmpty() ? token : firstToken;
            QVERIFY(tokenForm.match(token).hasMatch() && token == firstToken);
            QCOMPARE(rowsOf(address, "port, os_id, active, token, ambrix_server, console_server, domain_server, desktop_server, "
                                     "application_server, rdp_proxy_server, web_client_server, home_storage_server, "
                                     "storage_server, infrastructure_server, pxe_server"),
                     QList<QStringList>({{"4888", "2", "1", token, "1", console, "0", "0", "0", "0", "0", "0", "0", "0", "1"}}));
            QVERIFY(run.err.contains("password: **********"));
            QVERIFY(!run.err.contains(testDbParameters().password.toUtf8()));
        }
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
        addRowsFrom("registration.rows", {{"t1", QString(64, QLatin1Char('1'))}, {"t2", QString(64, QLatin1Char('2'))}});
    }

    void setServerInformation()
    {
        const QString address = prefix + "info-" + field("address"), stored = field("stored");
        if (stored != "-") {
            QVERIFY2(fixture.exec("INSERT INTO ax_server (name, address, port, os_id, token, active) VALUES ('" + address + "', '"
                                  + address + "', 4445, 2, " + (stored == "NULL" ? stored : "'" + stored + "'") + ", 0)"),
                     qPrintable(fixture.lastError()));
        }
        QCOMPARE(ServerRegistry::setServerInformation(db.get(), field("token"), field("attribute"), field("value"), address),
                 field("reply").replace("%1", address));
        const QList<QStringList> rows = rowsOf(address, "CONCAT_WS('|', token, console_server, pxe_server, os_id, active)");
        QCOMPARE(rows.value(0).value(0), field("after"));
        QVERIFY(rows.size() <= 1);
    }

    // The dialog as a user meets it: the fields as given, the password hidden; Cancel, Ok with an
    // empty field (the dialog has already accepted when the complaint shows), Ok with both filled.
    void dialog_data() { addRowsFrom("registration.rows"); }

    void dialog()
    {
        const QString user = field("user"), password = field("password"), typed = field("typed");
        const bool ok = field("button") == "Ok";
        principal.clear();
        qputenv("PROGRAMW6432", installation.programFilesDir().toUtf8());
        QStringList shown;
        QString box;
        whenShown<InitDialog>([&](InitDialog *dialog) {
            QLineEdit *passwordEdit = dialog->findChild<QLineEdit *>("passwordLineEdit");
            shown << dialog->findChild<QLineEdit *>("usernameLineEdit")->text() << passwordEdit->text()
                  << QString::number(passwordEdit->echoMode());
            if (!typed.isEmpty())
                passwordEdit->setText(typed);
            if (ok) {
                whenShown<QMessageBox>([&](QMessageBox *message) {
                    box = QStringList{QString::number(message->icon()), message->windowTitle(), message->text(),
                                      QString::number(message->parentWidget()->findChild<QProgressBar *>("progressBar")->value()),
                                      message->parentWidget()->findChild<QLabel *>("progressLabel")->text()}.join('|');
                    message->button(QMessageBox::Ok)->click();
                });
            }
            dialog->findChild<QDialogButtonBox *>("buttonBox")
                ->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
        QCOMPARE(RunModes::showInitDialog(user, password), field("exitCode").toInt());
        QCOMPARE(shown, QStringList({user, password, QString::number(QLineEdit::Password)}));
        QCOMPARE(box, field("box"));
        QCOMPARE(principal.connectionsAccepted(), typed.isEmpty() ? 0 : 1);
        if (typed.isEmpty())
            return;
        const QByteArray token = installation.setting("Server/ServerToken").toByteArray();
        QVERIFY(principal.waitForMessages(3));
        QCOMPARE(principal.messages(), QList<QByteArray>({"login?admin&&typed\n", "set_server_token?4445&" + token, "quit\n"}));
    }
};

QTEST_MAIN(RegistrationTest)
#include "tst_registration.moc"
