// Opening files and folders in a user's session: the command handed to a fake "psexec" found
// through PATH, the launch log beside the object, and the session found in real login records.
#include "loginrecords.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray ServerToken = "launcher-test-token-41d0b2";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QString backslashed(QString path)
{
    return path.replace('/', '\\');
}

} // namespace

class SessionLauncherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void openFileInTheLastMatchingSession();
    void openDirWithoutSession();
    void launchLogIsNeverWrittenThroughOtherFiles_data();
    void launchLogIsNeverWrittenThroughOtherFiles();

private:
    // The arguments the fake psexec received for the request, one per element.
    QStringList launch(TestClient &client, const QByteArray &request, QByteArray *reply);

    QTemporaryDir dir;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    QString user;
};

void SessionLauncherTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(dir.path() + "/bin"));
    const QString fake = dir.path() + "/bin/psexec";
    // Written whole, then renamed, so the test never reads half a record.
    QVERIFY(writeFile(fake, QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1/args.part'\n"
                                           "mv '%1/args.part' '%1/args'\n").arg(dir.path()).toUtf8()));
    QVERIFY(QFile::setPermissions(fake, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
    server->setEnv("PATH", dir.path() + "/bin:" + qEnvironmentVariable("PATH"));
    server->setEnv("WINDIR", "C:\\Windows");
    QVERIFY(server->start());
    user = QStringLiteral("AxOpen%1").arg(QCoreApplication::applicationPid());
    client = std::make_unique<TestClient>(server->port());
    // The connection's user name differs from the sessions' in letter case only.
    QCOMPARE(client->request("login?" + user.toLower().toUtf8() + "&&" + ServerToken),
             QByteArray("Authentication ok.\n"));
}

void SessionLauncherTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
}

QStringList SessionLauncherTest::launch(TestClient &connection, const QByteArray &request, QByteArray *reply)
{
    const QString record = dir.path() + "/args";
    QFile::remove(record);
    *reply = connection.request(request);
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(record) && !deadline.hasExpired())
        QThread::msleep(20);
    QString arguments = QString::fromUtf8(readAll(record));
    arguments.chop(1);
    return arguments.split('\n');
}

void SessionLauncherTest::openFileInTheLastMatchingSession()
{
    LoginRecords records;
    std::vector<std::unique_ptr<QProcess>> sessions;
    const auto stop = qScopeGuard([&sessions] {
        for (auto &session : sessions) {
            session->kill();
            session->waitForFinished();
        }
    });
    for (int i = 0; i < 2; ++i) {
        sessions.push_back(std::make_unique<QProcess>());
        sessions.back()->start("/bin/sleep", {"300"});
        QVERIFY(sessions.back()->waitForStarted());
        QVERIFY(records.add(sessions.back()->processId(), user));
    }
    const QString first = QString::number(sessions[0]->processId());
    const QString last = QString::number(sessions[1]->processId());
    const QString file = dir.path() + "/report.txt";
    QVERIFY(writeFile(file, "text"));

    QByteArray reply;
    QStringList arguments = launch(*client, "open_file?" + file.toUtf8() + "&", &reply);
    QCOMPARE(reply, backslashed(file).toUtf8() + "\n");
    QCOMPARE(arguments, QStringList({"-accepteula", "-i", last, "-s", "C:\\Windows\\explorer.exe", backslashed(file)}));
    const QString firstLine = "psexec -accepteula -i " + last + " -s C:\\Windows\\explorer.exe " + backslashed(file) + "\n";
    const QString searchLine = "SessionId: %1, data: '" + user + "', username: '" + user.toLower() + "'\n";
    QByteArray launchLog = readAll(file + ".log");
    QVERIFY2(launchLog.startsWith(firstLine.toUtf8()), launchLog.constData());
    QVERIFY(launchLog.contains(searchLine.arg(first).toUtf8()));
    QVERIFY(launchLog.contains(searchLine.arg(last).toUtf8()));

    // The extra argument goes to the program and the "Running" entry, not the log's first line;
    // the new log carries the lines of both searches.
    arguments = launch(*client, "open_file?" + file.toUtf8() + "&/e,x y", &reply);
    QCOMPARE(arguments.size(), 7);
    QCOMPARE(arguments.last(), QString("/e,x y"));
    launchLog = readAll(file + ".log");
    QVERIFY2(launchLog.startsWith(firstLine.toUtf8()), launchLog.constData());
    QCOMPARE(launchLog.count(searchLine.arg(last).toUtf8()), 2);
    const QByteArray serverLog = server->logContents();
    QVERIFY(serverLog.contains("Info: Opening file " + file.toUtf8() + "...\r\n"));
    QVERIFY(serverLog.contains("Info: Running: 'psexec " + firstLine.mid(7).chopped(1).toUtf8() + " /e,x y'\r\n"));
}

void SessionLauncherTest::openDirWithoutSession()
{
    TestClient other(server->port());
    QCOMPARE(other.request("login?AxNobody&&" + ServerToken), QByteArray("Authentication ok.\n"));
    const QString folder = dir.path() + "/folder";
    QVERIFY(QDir().mkpath(folder));

    QByteArray reply;
    const QStringList arguments = launch(other, "open_dir?" + folder.toUtf8(), &reply);
    QCOMPARE(reply, backslashed(folder).toUtf8() + "\n");
    QCOMPARE(arguments, QStringList({"-accepteula", "-i", "-1", "-s", "C:\\Windows\\explorer.exe", backslashed(folder)}));
    QVERIFY(readAll(folder + ".log").startsWith("psexec -accepteula -i -1 -s "));

    // Nothing to open: psexec runs, but no log appears for a missing object.
    const QString missing = dir.path() + "/missing.txt";
    QCOMPARE(launch(other, "open_dir?" + missing.toUtf8(), &reply).value(2), QString("-1"));
    QCOMPARE(reply, backslashed(missing).toUtf8() + "\n");
    QVERIFY(!QFile::exists(missing + ".log"));
}

void SessionLauncherTest::launchLogIsNeverWrittenThroughOtherFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link") << "symlink";
    QTest::newRow("hard link") << "hardlink";
    QTest::newRow("named pipe") << "fifo";
}

// The server runs as root and the user may own the folder: a prepared ".log" must not make it
// overwrite another file.
void SessionLauncherTest::launchLogIsNeverWrittenThroughOtherFiles()
{
    QFETCH(QString, kind);
    const QString file = dir.path() + "/" + kind + ".txt";
    const QString victim = dir.path() + "/" + kind + "-victim";
    QVERIFY(writeFile(file, "text"));
    QVERIFY(writeFile(victim, "precious"));
    const QByteArray logPath = QFile::encodeName(file + ".log");
    if (kind == "symlink")
        QVERIFY(symlink(QFile::encodeName(victim).constData(), logPath.constData()) == 0);
    else if (kind == "hardlink")
        QVERIFY(link(QFile::encodeName(victim).constData(), logPath.constData()) == 0);
    else
        QVERIFY(mkfifo(logPath.constData(), 0644) == 0);

    QByteArray reply;
    launch(*client, "open_file?" + file.toUtf8() + "&", &reply);
    QCOMPARE(reply, backslashed(file).toUtf8() + "\n");
    QCOMPARE(readAll(victim), QByteArray("precious"));
    if (kind == "fifo") {
        struct stat info;
        QVERIFY(lstat(logPath.constData(), &info) == 0 && S_ISFIFO(info.st_mode));
    }
}

QTEST_GUILESS_MAIN(SessionLauncherTest)
#include "tst_sessionlauncher.moc"
