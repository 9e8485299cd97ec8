// The registration dialog, driven as a user would, against a fake principal server.
#include "app/runmodes.h"
#include "fakepeer.h"
#include "registration/initdialog.h"
#include "testserver.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

namespace {

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

class InitDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void formLooksRight();
    void cancelRunsNothing();
    void emptyField_data();
    void emptyField();
    void okRegisters();

private:
    std::unique_ptr<FakePeer> principal;
    std::unique_ptr<TestServer> installation;
};

void InitDialogTest::initTestCase()
{
    principal = std::make_unique<FakePeer>();
    installation = std::make_unique<TestServer>();
    installation->setSetting("Server/AmbrixPrincipalServerPort", principal->port());
    qputenv("PROGRAMW6432", installation->programFilesDir().toUtf8());
}

void InitDialogTest::init()
{
    principal->clear();
}

void InitDialogTest::formLooksRight()
{
    InitDialog dialog("admin", "secret");
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Ambrix Server Initialization"));
    QVERIFY(!dialog.windowIcon().isNull()); // the image resource is linked in
    QCOMPARE(dialog.findChild<QLineEdit *>("passwordLineEdit")->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.findChild<QProgressBar *>("progressBar")->maximum(), 100);

    const QString shot = QCoreApplication::applicationDirPath() + "/initdialog.png";
    QVERIFY(dialog.grab().save(shot));
}

void InitDialogTest::cancelRunsNothing()
{
    QString user;
    QString password;
    whenShown<InitDialog>([&](InitDialog *dialog) {
        user = dialog->findChild<QLineEdit *>("usernameLineEdit")->text();
        password = dialog->findChild<QLineEdit *>("passwordLineEdit")->text();
        buttonBoxOf(dialog)->button(QDialogButtonBox::Cancel)->click();
    });
    QCOMPARE(RunModes::showInitDialog("admin", "secret"), 1);
    QCOMPARE(user, QStringLiteral("admin"));
    QCOMPARE(password, QStringLiteral("secret"));
    QCOMPARE(principal->connectionsAccepted(), 0);
}

void InitDialogTest::emptyField_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::newRow("no user") << QString() << "secret";
    QTest::newRow("no password") << "admin" << QString();
}

void InitDialogTest::emptyField()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    SeenBox seen;
    whenShown<InitDialog>([&](InitDialog *dialog) {
        closeNextMessageBox(&seen);
        buttonBoxOf(dialog)->button(QDialogButtonBox::Ok)->click();
    });
    // Ok has already accepted the dialog when the complaint shows.
    QCOMPARE(RunModes::showInitDialog(user, password), 0);
    QVERIFY(seen.shown);
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.title, QStringLiteral("Empty fields"));
    QCOMPARE(seen.text, QStringLiteral("The admin user name and password fields must not be empty"));
    QCOMPARE(principal->connectionsAccepted(), 0);
}

void InitDialogTest::okRegisters()
{
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

    const QString token = QSettings(installation->settingsPath(), QSettings::IniFormat)
                              .value("Server/ServerToken").toString();
    QCOMPARE(token.size(), 64);
    QVERIFY(principal->waitForMessages(3));
    QCOMPARE(principal->messages(),
             QList<QByteArray>({"login?admin&&typed\n", "set_server_token?4445&" + token.toUtf8(), "quit\n"}));
}

QTEST_MAIN(InitDialogTest)
#include "tst_initdialog.moc"
