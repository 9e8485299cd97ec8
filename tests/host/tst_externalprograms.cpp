// Chroot mounts and cloud printers through fake programs at the programs' fixed paths. A fake is
// installed only where nothing is installed, and removed again.
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray ServerToken = "programs-test-token-9a3e55";
const QString MountChroot = "/usr/sbin/mountchroot";
const QString UmountChroot = "/usr/sbin/umountchroot";
const QString ManagePrinters = "/usr/lib/cloudprint-cups/manageprinters.py";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Records its arguments, one per line, and what the last argument names (mode and contents,
// while it runs), then ends as the test's "outcome" file says: an exit code or "crash".
QByteArray fakeProgram(const QString &recordDir)
{
    return QStringLiteral(
        "#!/bin/sh\n"
        "d='%1'\n"
        "printf '%s\\n' \"$@\" > \"$d/args.part\"\n"
        "for last; do :; done\n"
        "if [ -f \"$last\" ]; then stat -c %a \"$last\" > \"$d/mode\"; cat \"$last\" > \"$d/credentials\"; fi\n"
        "mv \"$d/args.part\" \"$d/args\"\n"
        "outcome=$(cat \"$d/outcome\" 2>/dev/null || echo 0)\n"
        "[ \"$outcome\" = crash ] && kill -9 $$\n"
        "exit \"$outcome\"\n").arg(recordDir).toUtf8();
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
    void setOutcome(const QByteArray &outcome);

    QTemporaryDir dir;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    QStringList installed;
    bool createdPrinterDirectory = false;
};

void ExternalProgramsTest::initTestCase()
{
    QVERIFY(dir.isValid());
    for (const QString &program : {MountChroot, UmountChroot, ManagePrinters}) {
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
        QDir().rmdir(QFileInfo(ManagePrinters).path());
    if (server) {
        client.reset();
        server->interrupt();
        QVERIFY(server->waitForExit());
    }
}

bool ExternalProgramsTest::installFakes()
{
    if (!installed.isEmpty())
        return true;
    const QString printerDirectory = QFileInfo(ManagePrinters).path();
    if (!QFileInfo::exists(printerDirectory)) {
        if (!QDir().mkpath(printerDirectory))
            return false;
        createdPrinterDirectory = true;
    }
    for (const QString &program : {MountChroot, UmountChroot, ManagePrinters}) {
        QFile fake(program);
        // NewOnly: never replace a program that appeared meanwhile.
        if (!fake.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        installed.append(program);
        fake.write(fakeProgram(dir.path()));
        fake.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    return true;
}

QStringList ExternalProgramsTest::recordedArguments()
{
    const QString record = dir.path() + "/args";
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(record) && !deadline.hasExpired())
        QThread::msleep(20);
    QString arguments = QString::fromUtf8(readAll(record));
    arguments.chop(1);
    QFile::remove(record);
    return arguments.split('\n');
}

void ExternalProgramsTest::setOutcome(const QByteArray &outcome)
{
    QFile file(dir.path() + "/outcome");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(outcome) == outcome.size());
}

void ExternalProgramsTest::missingProgramsAnswerTheirErrors()
{
    QCOMPARE(client->request("mount_chroot?a&b&alice&d&e"), QByteArray("Error -2\n"));
    QCOMPARE(client->request("umount_chroot?a"), QByteArray("Error 0\n"));
    QCOMPARE(client->request("prune_google_printers?a"), QByteArray("Error -2\n"));
    // The credentials of the failed mount do not stay behind.
    QCOMPARE(QDir(QDir::tempPath()).entryList({"ambrix-chroot-*"}), QStringList());
}

void ExternalProgramsTest::mountChrootHandsOverCredentials()
{
    QVERIFY(installFakes());
    setOutcome("0");
    QCOMPARE(client->request("mount_chroot?/srv/chroot&-o ro&alice&p 3&"), QByteArray("Ok\n"));
    const QStringList arguments = recordedArguments();
    QCOMPARE(arguments.size(), 6);
    QCOMPARE(arguments.mid(0, 5), QStringList({"/srv/chroot", "-o ro", "alice", "p 3", ""}));
    const QString credentials = arguments.last();
    QVERIFY(credentials.startsWith(QDir::tempPath() + "/"));
    QCOMPARE(readAll(dir.path() + "/mode"), QByteArray("600\n"));
    QCOMPARE(readAll(dir.path() + "/credentials"), QByteArray("username=alice\npassword=" + ServerToken + "\n"));
    QVERIFY(!QFileInfo::exists(credentials));
    // The password is only in the file, never in the log or the debug output.
    QVERIFY(!server->standardError().contains(ServerToken));
    QVERIFY(!server->logContents().contains(ServerToken));
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
    QVERIFY(installFakes());
    setOutcome(outcome);
    QCOMPARE(client->request("mount_chroot?a&b&alice&d&e"), reply);
    QVERIFY(!QFileInfo::exists(recordedArguments().last()));
    QCOMPARE(client->request("add_google_printer?a&b&c"), reply);
    recordedArguments();
}

void ExternalProgramsTest::umountChrootDoesNotWait()
{
    QVERIFY(installFakes());
    setOutcome("5");
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
    QVERIFY(installFakes());
    setOutcome("0");
    TestClient connection(server->port());
    QCOMPARE(connection.request("login?" + user + "&&" + ServerToken), QByteArray("Authentication ok.\n"));
    QCOMPARE(connection.request(request), QByteArray("Ok\n"));
    QCOMPARE(recordedArguments(), arguments);
}

QTEST_GUILESS_MAIN(ExternalProgramsTest)
#include "tst_externalprograms.moc"
