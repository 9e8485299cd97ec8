// Chroot mounts and cloud printers through fake programs at the programs' fixed paths. A fake is
// installed only where nothing is installed, and removed again.
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray ServerToken = "programs-test-token-9a3e55";
const QStringList Programs = {"/usr/sbin/mountchroot", "/usr/sbin/umountchroot",
                              "/usr/lib/cloudprint-cups/manageprinters.py"};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class ExternalProgramsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void missingProgramsAnswerTheirErrors();
    void mountChrootHandsOverCredentials();
    void exitCodesBecomeReplies_data();
    void exitCodesBecomeReplies();
    void umountChrootDoesNotWait();
    void printerArguments_data();
    void printerArguments();

private:
    bool installFakes();
    QStringList recordedArguments();
    bool setOutcome(const QByteArray &outcome);

    QTemporaryDir dir;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    QStringList installed;
    bool createdPrinterDirectory = false;
};

void ExternalProgramsTest::initTestCase()
{
    for (const QString &program : Programs) {
        if (QFileInfo::exists(program))
            QSKIP("a real program is installed at a fixed path");
    }
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request("login?operator&&" + ServerToken), QByteArray("Authentication ok.\n"));
}

void ExternalProgramsTest::cleanupTestCase()
{
    for (const QString &program : qAsConst(installed))
        QFile::remove(program);
    if (createdPrinterDirectory)
        QDir().rmdir(QFileInfo(Programs.last()).path());
    if (server) {
        client.reset();
        server->interrupt();
        QVERIFY(server->waitForExit());
    }
}

// Each fake records its arguments, one per line, and the mode and contents of the file its
// last argument names while it runs; then it ends as the "outcome" file says.
bool ExternalProgramsTest::installFakes()
{
    if (!installed.isEmpty())
        return true;
    const QString printerDirectory = QFileInfo(Programs.last()).path();
    createdPrinterDirectory = !QFileInfo::exists(printerDirectory);
    if (!QDir().mkpath(printerDirectory))
        return false;
    const QByteArray script = QStringLiteral(
        "#!/bin/sh\nd='%1'\nprintf '%s\\n' \"$@\" > \"$d/args.part\"\nfor last; do :; done\n"
        "if [ -f \"$last\" ]; then stat -c %a \"$last\" > \"$d/mode\"; cat \"$last\" > \"$d/credentials\"; fi\n"
        "mv \"$d/args.part\" \"$d/args\"\noutcome=$(cat \"$d/outcome\")\n"
        "[ \"$outcome\" = crash ] && kill -9 $$\nexit \"$outcome\"\n").arg(dir.path()).toUtf8();
    for (const QString &program : Programs) {
        QFile fake(program);
        // Never replace a program that appeared meanwhile.
        if (!fake.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        installed.append(program);
        if (fake.write(script) != script.size()
            || !fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
            return false;
    }
    return true;
}

QStringList ExternalProgramsTest::recordedArguments()
{
    const QString record = dir.path() + "/args";
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(record) && !deadline.hasExpired())
        QThread::msleep(20);
    const QString arguments = QString::fromUtf8(readAll(record)).chopped(1);
    QFile::remove(record);
    return arguments.split('\n');
}

bool ExternalProgramsTest::setOutcome(const QByteArray &outcome)
{
    QFile file(dir.path() + "/outcome");
    return file.open(QIODevice::WriteOnly) && file.write(outcome) == outcome.size();
}

void ExternalProgramsTest::missingProgramsAnswerTheirErrors()
{
    QCOMPARE(client->request("mount_chroot?a&b&alice&d&e"), QByteArray("Error -2\n"));
    QCOMPARE(client->request("umount_chroot?a"), QByteArray("Error 0\n"));
    QCOMPARE(client->request("prune_google_printers?a"), QByteArray("Error -2\n"));
    QCOMPARE(QDir(QDir::tempPath()).entryList({"ambrix-chroot-*"}), QStringList());
}

void ExternalProgramsTest::mountChrootHandsOverCredentials()
{
    QVERIFY(installFakes() && setOutcome("0"));
    QCOMPARE(client->request("mount_chroot?/srv/chroot&-o ro&alice&p 3&"), QByteArray("Ok\n"));
    const QStringList arguments = recordedArguments();
    QCOMPARE(arguments.mid(0, 5), QStringList({"/srv/chroot", "-o ro", "alice", "p 3", ""}));
    QCOMPARE(arguments.size(), 6);
    QVERIFY(arguments.last().startsWith(QDir::tempPath() + "/"));
    QCOMPARE(readAll(dir.path() + "/mode"), QByteArray("600\n"));
    QCOMPARE(readAll(dir.path() + "/credentials"), "username=alice\npassword=" + ServerToken + "\n");
    QVERIFY(!QFileInfo::exists(arguments.last()));
    // The password is in the file only.
    QVERIFY(!server->standardError().contains(ServerToken) && !server->logContents().contains(ServerToken));
}

void ExternalProgramsTest::exitCodesBecomeReplies_data()
{
    QTest::addColumn<QByteArray>("outcome");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("failure") << QByteArray("3") << QByteArray("Error 3\n");
    QTest::newRow("crash") << QByteArray("crash") << QByteArray("Error -1\n");
}

void ExternalProgramsTest::exitCodesBecomeReplies()
{
    QFETCH(QByteArray, outcome);
    QFETCH(QByteArray, reply);
    QVERIFY(installFakes() && setOutcome(outcome));
    QCOMPARE(client->request("mount_chroot?a&b&alice&d&e"), reply);
    QVERIFY(!QFileInfo::exists(recordedArguments().last()));
    QCOMPARE(client->request("add_google_printer?a&b&c"), reply);
    recordedArguments();
}

void ExternalProgramsTest::umountChrootDoesNotWait()
{
    QVERIFY(installFakes() && setOutcome("5"));
    QCOMPARE(client->request("umount_chroot?/srv/chroot one"), QByteArray("Ok\n"));
    QCOMPARE(recordedArguments(), QStringList({"/srv/chroot one"}));
}

void ExternalProgramsTest::printerArguments_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("connect") << QByteArray("alice") << QByteArray("add_google_printer?p0&p 1&p2")
        << QStringList{"connect", "p0", "p 1", "p2", "alice_GCP_", "alice"};
    QTest::newRow("disconnect, domain user") << QByteArray("CORP\\alice") << QByteArray("remove_google_printer?p0&&p2")
        << QStringList{"disconnect", "p0", "", "p2", "CORP_alice_GCP_", "CORP\\alice"};
    QTest::newRow("prune") << QByteArray("CORP\\alice") << QByteArray("prune_google_printers?p0")
        << QStringList{"prune", "p0", "CORP_alice_GCP_"};
}

void ExternalProgramsTest::printerArguments()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, request);
    QFETCH(QStringList, arguments);
    QVERIFY(installFakes() && setOutcome("0"));
    TestClient connection(server->port());
    QCOMPARE(connection.request("login?" + user + "&&" + ServerToken), QByteArray("Authentication ok.\n"));
    QCOMPARE(connection.request(request), QByteArray("Ok\n"));
    QCOMPARE(recordedArguments(), arguments);
}

QTEST_GUILESS_MAIN(ExternalProgramsTest)
#include "tst_externalprograms.moc"
