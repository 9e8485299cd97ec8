// ambrix-cli against the real server: login, replies as they come, exit statuses.
#include "sampledata.h"
#include "testdatabase.h"
#include "testprogram.h"
#include "testserver.h"

#include <QtTest>

using namespace SampleData;

namespace {

ProgramResult runCli(const QStringList &args, const QByteArray &input = QByteArray())
{
    return runProgram(QStringLiteral(AMBRIX_CLI_BIN), args, input);
}

// Stands in for the download program: "-q -O FILE URL" writes the icon kept beside it.
const char fakeDownloader[] = "#!/bin/sh\ncat \"$(dirname \"$0\")/icon.bin\" > \"$3\"\n";

// Logins accept any user name with the server's own token; uploads go to a real account.
const char serverToken[] = "cli-test-server-token-8Qw";

enum Status { Success = 0, BadArguments = 1, ConnectionFailed = 2, LoginRefused = 3, UploadRefused = 4 };

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void repliesInOrderAfterLogin();
    void messageSentExactlyAsGiven();
    void tokenFromStandardInput();
    void replyWithoutLineEndStaysWithout_data();
    void replyWithoutLineEndStaysWithout();
    void refusedLogin_data();
    void refusedLogin();
    void outsideAdminGroupStaysLoggedIn();
    void quitEndsTheConnection();
    void unreachableServer();
    void badArgumentsNeverConnect_data();
    void badArgumentsNeverConnect();
    void byteArrayReplies_data();
    void byteArrayReplies();
    void byteArrayPayloadToFile();
    void uploads_data();
    void uploads();

private:
    QStringList at() const { return {"-p", QString::number(server->port())}; }
    QStringList asAlice() const { return at() + QStringList{"-u", "alice", "-t", AliceToken}; }

    QStringList asRoot() const { return at() + QStringList{"-u", "root", "-t", serverToken}; }
    QString groupId(int n) const { return QString::number(groupBase + n); }

    const int groupBase = 70000 + int(QCoreApplication::applicationPid() % 5000) * 4;
    const QString iconName = QStringLiteral("axcli_%1.png").arg(QCoreApplication::applicationPid());
    QByteArray icon;
    QTemporaryDir fakeDir;
    QTemporaryDir windir;
    TestDatabase db;
    std::unique_ptr<TestServer> server;
};

void CliTest::initTestCase()
{
    // Bytes of every value, and a length whose prefix uses three of its four bytes.
    for (int i = 0; i < 70000; ++i)
        icon += char((i * 13 + i / 256) & 0xff);
    QFile downloader(fakeDir.filePath("wget"));
    QVERIFY(downloader.open(QIODevice::WriteOnly));
    downloader.write(fakeDownloader);
    downloader.close();
    QVERIFY(downloader.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QFile iconFile(fakeDir.filePath("icon.bin"));
    QVERIFY(iconFile.open(QIODevice::WriteOnly));
    iconFile.write(icon);
    iconFile.close();
    QVERIFY2(db.exec(QString("INSERT INTO ax_applicationgroup (id, name, icon) VALUES (%1, 'cli', 'icons/%3'), "
                             "(%2, 'cli-plain', NULL)")
                         .arg(groupId(1), groupId(2), iconName)),
             qPrintable(db.lastError()));

    server = std::make_unique<TestServer>();
    server->setEnv("PATH", fakeDir.path() + ":" + qEnvironmentVariable("PATH"));
    server->setEnv("windir", windir.path());
    server->setSetting("Server/ServerToken", serverToken);
    QVERIFY(server->start());
}

void CliTest::cleanupTestCase()
{
    db.exec(QString("DELETE FROM ax_applicationgroup WHERE id BETWEEN %1 AND %2").arg(groupId(1), groupId(2)));
    server->interrupt();
    QVERIFY(server->waitForExit());
}

void CliTest::repliesInOrderAfterLogin()
{
    // One connection: what the first message stores, the later ones read back.
    const ProgramResult r = runCli(asAlice() + QStringList{"set_remote_app_server?4411&192.0.2.77",
                                                    "get_remote_app_server_address",
                                                    "get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(Success));
    QCOMPARE(r.out, QByteArray("\n192.0.2.77\n4411\n"));
}

void CliTest::messageSentExactlyAsGiven()
{
    // Blanks, quotes and a backslash reach the server byte for byte.
    const QString address = QStringLiteral("a b'c\"d\\e $HOME *");
    const ProgramResult r = runCli(asAlice() + QStringList{"set_remote_app_server?1&" + address,
                                                    "get_remote_app_server_address"});
    QCOMPARE(r.exitCode, int(Success));
    QCOMPARE(r.out, "\n" + address.toUtf8() + "\n");
}

void CliTest::tokenFromStandardInput()
{
    const ProgramResult r = runCli(at() + QStringList{"-u", "alice", "-t", "-", "get_remote_app_server_port"},
                            QByteArray(AliceToken) + "\n");
    QCOMPARE(r.exitCode, int(Success));
    QVERIFY2(!r.out.startsWith("Not authenticated"), r.out.constData());
    QVERIFY(r.out.endsWith('\n'));
}

void CliTest::replyWithoutLineEndStaysWithout_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("dispatched command") << "get_remote_app_server_port";
    // Not logged in, a byte-array request is refused with the plain text, without a length.
    QTest::newRow("byte array") << "_byteArray_get_application_icon?1";
}

void CliTest::replyWithoutLineEndStaysWithout()
{
    QFETCH(QString, message);
    const ProgramResult r = runCli(at() + QStringList{message});
    QCOMPARE(r.exitCode, int(Success));
    QCOMPARE(r.out, QByteArray("Not authenticated"));
}

void CliTest::refusedLogin_data()
{
    QTest::addColumn<QStringList>("login");
    QTest::newRow("other user's token") << QStringList{"-u", "alice", "-t", BobToken};
    QTest::newRow("unknown user") << QStringList{"-u", "cli-nobody-7f3a", "-t", AliceToken};
}

void CliTest::refusedLogin()
{
    QFETCH(QStringList, login);
    const ProgramResult r = runCli(at() + login + QStringList{"get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(LoginRefused));
    QVERIFY(r.out.isEmpty()); // nothing sent after the refusal
    QVERIFY2(r.err.contains("Error: Bad authentication"), r.err.constData());
}

void CliTest::outsideAdminGroupStaysLoggedIn()
{
    const ProgramResult r = runCli(asAlice() + QStringList{"-g", "cli-nogroup-7f3a", "get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(Success));
    QVERIFY2(r.err.contains("without administrator rights"), r.err.constData());
    QVERIFY(r.out.endsWith('\n'));
    QVERIFY(!r.out.startsWith("Not authenticated"));
}

void CliTest::quitEndsTheConnection()
{
    ProgramResult r = runCli(at() + QStringList{"quit"});
    QCOMPARE(r.exitCode, int(Success));
    QVERIFY(r.out.isEmpty());
    r = runCli(at() + QStringList{"quit", "get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(ConnectionFailed));
    QVERIFY(r.err.contains("closed"));
}

void CliTest::unreachableServer()
{
    const ProgramResult r = runCli({"-p", QString::number(TestServer::freePort()), "get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(ConnectionFailed));
    QVERIFY2(r.err.contains("Cannot connect"), r.err.constData());
}

void CliTest::badArgumentsNeverConnect_data()
{
    // The port has no server: each row must fail before any connection is tried.
    QTest::addColumn<QStringList>("args");
    QTest::newRow("message over 1023 bytes") << QStringList{QString(1024, 'x')};
    QTest::newRow("user without token") << QStringList{"-u", "alice", "get_remote_app_server_port"};
    QTest::newRow("user holding &") << QStringList{"-u", "a&b", "-t", "x", "get_remote_app_server_port"};
    QTest::newRow("-o without byte array") << QStringList{"-o", "/dev/null", "get_remote_app_server_port"};
    QTest::newRow("raw upload message") << QStringList{"_sendBinaryFile_?a&&3"};
    QTest::newRow("upload of a missing file")
        << QStringList{"-u", "alice", "-t", "x", "upload", "/nonexistent/cli-7f3a"};
    QTest::newRow("upload without login") << QStringList{"upload", AMBRIX_CLI_BIN};
    QTest::newRow("nothing to send") << QStringList{};
}

void CliTest::badArgumentsNeverConnect()
{
    QFETCH(QStringList, args);
    const quint16 nobody = TestServer::freePort();
    const ProgramResult r = runCli(QStringList{"-p", QString::number(nobody)} + args);
    QCOMPARE(r.exitCode, int(BadArguments));
    QVERIFY(!r.err.isEmpty());
    QVERIFY(!r.err.contains("Cannot connect"));
}

void CliTest::byteArrayReplies_data()
{
    // The output of the byte-array message, then the reply to a text request sent after it,
    // which shows that the framed reply was taken off the connection whole.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("output");
    QTest::newRow("icon") << "_byteArray_get_application_group_icon?" + groupId(1) << "^70000 bytes\n\\d*\n$";
    QTest::newRow("no icon") << "_byteArray_get_application_group_icon?" + groupId(2) << "^0 bytes\n\\d*\n$";
    // A refusal travels as a framed error text, which is printed after its size.
    QTest::newRow("wrong count") << "_byteArray_get_user_logo?a&b"
                                 << "^\\d+ bytes\nError: Invalid number of parameters for ByteArray command "
                                    "_byteArray_get_user_logo\\(.+\\)\n\\d*\n$";
}

void CliTest::byteArrayReplies()
{
    QFETCH(QString, message);
    QFETCH(QString, output);
    const ProgramResult r = runCli(asAlice() + QStringList{message, "get_remote_app_server_port"});
    QCOMPARE(r.exitCode, int(Success));
    QVERIFY2(QRegularExpression(output).match(QString::fromUtf8(r.out)).hasMatch(), r.out.constData());
}

void CliTest::byteArrayPayloadToFile()
{
    const QString file = fakeDir.filePath("out.png");
    const ProgramResult r = runCli(asAlice() + QStringList{"-o", file, "_byteArray_get_application_group_icon?"
                                                                            + groupId(1)});
    QCOMPARE(r.exitCode, int(Success));
    QCOMPARE(r.out, QByteArray("70000 bytes\n"));
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), icon);
}

void CliTest::uploads_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("targetDir");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("status");
    QTest::newRow("3000 bytes into a folder") << 3000 << "inbox" << QByteArray("inbox") << int(Success);
    // The empty reply of an empty TARGETDIR puts nothing on the wire.
    QTest::newRow("3 MiB, no folder") << 3 * 1024 * 1024 << "" << QByteArray() << int(Success);
    QTest::newRow("folder outside") << 5 << ".." << QByteArray("Cannot create target dir inside temporary dir")
                                    << int(UploadRefused);
    QTest::newRow("empty file") << 0 << "e" << QByteArray("Invalid file length") << int(UploadRefused);
}

void CliTest::uploads()
{
    QFETCH(int, size);
    QFETCH(QString, targetDir);
    QFETCH(QByteArray, reply);
    QFETCH(int, status);
    const QString name = QStringLiteral("up-%1.bin").arg(QTest::currentDataTag()).replace(' ', '-');
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char((i * 31 + i / 1021) & 0xff);
    QFile file(fakeDir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    QStringList args = asRoot() + QStringList{"upload", file.fileName()};
    if (!targetDir.isEmpty())
        args << targetDir;
    const ProgramResult r = runCli(args);
    QCOMPARE(r.exitCode, status);
    QCOMPARE(r.out, reply);
    if (status != Success)
        return;
    QString landed = windir.path() + "/TEMP/ambrix-root/";
    if (!targetDir.isEmpty())
        landed += targetDir + '/';
    QFile stored(landed + name);
    QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
    QCOMPARE(stored.readAll(), content);
    // Large files show their progress.
    QCOMPARE(r.err.contains("100%"), size >= 1024 * 1024);
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
