// Uploads over real TCP into a private "windir", by a real account in private copies of the
// host's account files: replies, content, owner and access list, and what a refused upload leaves
// on the connection and on disk.
#include "accounts/axusercommand.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

#include <memory>

namespace {

// Logins accept any user name with the server's own token.
const QByteArray serverToken = "upload-test-token-3Kd";

QByteArray uploadMessage(const QByteArray &fileName, const QByteArray &targetDir, qint64 size)
{
    return "_sendBinaryFile_?" + fileName + "&" + targetDir + "&" + QByteArray::number(size);
}

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray output(const QString &program, const QStringList &args)
{
    return Programs::run(program, args, 30000).standardOutput.trimmed();
}

} // namespace

class FileUploadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void contentArrivesIntact_data();
    void contentArrivesIntact();
    void emptyFile();
    void refusalsTakeTheContentOffTheConnection_data();
    void refusalsTakeTheContentOffTheConnection();
    void ownerAndAccessList();
    void nothingIsCreatedOutside();
    void linkInsideUploadDirectoryIsNotFollowed();
    void relayWaitsForUploadOnRegisteredConnection();

private:
    std::unique_ptr<TestClient> loggedIn(const QByteArray &user);
    // Sends the upload and its content; returns what follows "Ok".
    QByteArray upload(TestClient &client, const QByteArray &message, const QByteArray &content);
    bool answersNextRequest(TestClient &client);
    QString uploadDir(const QString &user) const;

    QTemporaryDir windir;
    std::unique_ptr<TestServer> server;
    QByteArray user;
};

void FileUploadTest::initTestCase()
{
    QVERIFY(windir.isValid());
    user = "axup" + QByteArray::number(QCoreApplication::applicationPid());
    QCOMPARE(AXUserCommand::createUser(QString::fromLatin1(user), "Pass-word1"), QString());
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
    server->setEnv("windir", windir.path());
    QVERIFY(server->start());
}

void FileUploadTest::cleanupTestCase()
{
    Programs::run(QString::fromLatin1(Programs::UserdelProgram), {"--", QString::fromLatin1(user)}, 30000);
    server->interrupt();
    QVERIFY(server->waitForExit());
}

std::unique_ptr<TestClient> FileUploadTest::loggedIn(const QByteArray &name)
{
    auto client = std::make_unique<TestClient>(server->port());
    if (client->request("login?" + name + "&&" + serverToken) != "Authentication ok.\n")
        return nullptr;
    return client;
}

QByteArray FileUploadTest::upload(TestClient &client, const QByteArray &message, const QByteArray &content)
{
    if (!client.send(message) || client.receiveExactly(2) != "Ok" || !client.send(content))
        return "<no exchange>";
    return client.receive(15000);
}

// The next request gets its own reply: nothing of an upload's content was taken for a request.
bool FileUploadTest::answersNextRequest(TestClient &client)
{
    return client.request("no_such_command?1").startsWith("Error: Unknown command");
}

QString FileUploadTest::uploadDir(const QString &name) const
{
    return windir.path() + "/TEMP/ambrix-" + name;
}

void FileUploadTest::contentArrivesIntact_data()
{
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QByteArray>("targetDir");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expectedDir");
    QTest::newRow("3000 bytes") << user << QByteArray("reports") << 3000 << QString("reports");
    QTest::newRow("20 MB, nested dir") << user << QByteArray("big/one") << 20 * 1024 * 1024
                                       << QString("big/one");
    QTest::newRow("domain part dropped") << "CORP\\" + user << QByteArray("dom") << 100 << QString("dom");
}

void FileUploadTest::contentArrivesIntact()
{
    QFETCH(QByteArray, login);
    QFETCH(QByteArray, targetDir);
    QFETCH(int, size);
    QFETCH(QString, expectedDir);
    auto client = loggedIn(login);
    QVERIFY(client);
    const QByteArray content = patterned(size);
    QCOMPARE(upload(*client, uploadMessage("data.bin", targetDir, size), content), targetDir);
    const QString path = uploadDir(user) + "/" + expectedDir + "/data.bin";
    QCOMPARE(QFileInfo(path).size(), qint64(size));
    QVERIFY(fileContents(path) == content);
    QVERIFY(answersNextRequest(*client));
}

void FileUploadTest::emptyFile()
{
    auto client = loggedIn(user);
    QVERIFY(client);
    // An empty target directory writes into the upload directory and answers nothing at all.
    QVERIFY(client->send(uploadMessage("top.txt", "", 5)));
    QCOMPARE(client->receiveExactly(2), QByteArray("Ok"));
    QVERIFY(client->send("hello"));
    QVERIFY(answersNextRequest(*client));
    QCOMPARE(fileContents(uploadDir(user) + "/top.txt"), QByteArray("hello"));

    // Size 0 still replaces the file, with an empty one.
    QVERIFY(client->send(uploadMessage("top.txt", "", 0)));
    QCOMPARE(client->receiveExactly(21), QByteArray("OkInvalid file length"));
    QCOMPARE(fileContents(uploadDir(user) + "/top.txt"), QByteArray());
}

void FileUploadTest::refusalsTakeTheContentOffTheConnection_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("reply");
    // Content that would end the connection if it were read as a request.
    const QByteArray quit = "quit\n";
    QTest::newRow("two parameters") << QByteArray("_sendBinaryFile_?a.txt&5") << QByteArray()
                                    << QByteArray("Bad number of parameters for binary file message");
    QTest::newRow("upload dir blocked") << QByteArray() << quit << QByteArray("Cannot create temporary dir");
    QTest::newRow("no such account") << QByteArray("unknown") << quit << QByteArray("Cannot get user sid");
    QTest::newRow("target dir blocked") << uploadMessage("a.txt", "plain-file/sub", 5) << quit
                                        << QByteArray("Cannot create target dir inside temporary dir");
    QTest::newRow("file name is a dir") << uploadMessage("sub", "holder", 5) << quit
                                        << QByteArray("Cannot create temporary file");
    QTest::newRow("file name with slash") << uploadMessage("x/y.txt", "", 5) << quit
                                          << QByteArray("Cannot create temporary file");
    QTest::newRow("file name dot dot") << uploadMessage("..", "holder", 5) << quit
                                       << QByteArray("Cannot create temporary file");
    QTest::newRow("empty file name") << uploadMessage("", "holder", 5) << quit
                                     << QByteArray("Cannot create temporary file");
}

void FileUploadTest::refusalsTakeTheContentOffTheConnection()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, reply);
    QByteArray login = user;
    if (message == "unknown") {
        login = user + "-nobody";
        message = uploadMessage("a.txt", "dir", 5);
    } else if (message.isEmpty()) {
        // A file where the user's upload directory belongs.
        login = "upload-blocked";
        QVERIFY(QDir().mkpath(windir.path() + "/TEMP"));
        QFile blocker(uploadDir(QString::fromLatin1(login)));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        message = uploadMessage("a.txt", "", 5);
    }
    QVERIFY(QDir().mkpath(uploadDir(user) + "/holder/sub"));
    QFile plain(uploadDir(user) + "/plain-file");
    QVERIFY(plain.open(QIODevice::WriteOnly));

    auto client = loggedIn(login);
    QVERIFY(client);
    if (content.isEmpty()) {
        QVERIFY(client->send(message));
        QCOMPARE(client->receiveExactly(2 + reply.size()), "Ok" + reply);
    } else {
        QCOMPARE(upload(*client, message, content), reply);
    }
    QVERIFY(answersNextRequest(*client));
}

void FileUploadTest::ownerAndAccessList()
{
    auto client = loggedIn(user);
    QVERIFY(client);
    QCOMPARE(upload(*client, uploadMessage("owned.txt", "owned", 3), "abc"), QByteArray("owned"));
    const QFileInfo file(uploadDir(user) + "/owned/owned.txt");
    const QString name = QString::fromLatin1(user);
    const QByteArray uid = output("/usr/bin/id", {"-u", name});
    QCOMPARE(QByteArray::number(file.ownerId()), uid);
    QCOMPARE(QByteArray::number(file.groupId()), output("/usr/bin/id", {"-g", name}));
    // The user alone (besides root) gets into the directory; nobody else at all.
    QCOMPARE(output("/usr/bin/getfacl", {"--omit-header", "--numeric", uploadDir(user) + "/owned"}),
             "user::rwx\nuser:" + uid + ":rwx\ngroup::---\nmask::rwx\nother::---");
}

void FileUploadTest::nothingIsCreatedOutside()
{
    auto client = loggedIn(user);
    QVERIFY(client);
    const QString outside = windir.path() + "/outside";
    const QList<QByteArray> targets = {"../escape", "a/../../escape", "..", QFile::encodeName(outside)};
    for (const QByteArray &target : targets) {
        QCOMPARE(upload(*client, uploadMessage("f.txt", target, 4), "data"),
                 QByteArray("Cannot create target dir inside temporary dir"));
    }
    QCOMPARE(upload(*client, uploadMessage("../escape.txt", "", 4), "data"),
             QByteArray("Cannot create temporary file"));
    QVERIFY(!QFileInfo::exists(windir.path() + "/TEMP/escape"));
    QVERIFY(!QFileInfo::exists(windir.path() + "/TEMP/escape.txt"));
    QVERIFY(!QFileInfo::exists(outside));
    QVERIFY(!QFileInfo::exists(windir.path() + "/TEMP/f.txt"));
    QVERIFY(answersNextRequest(*client));
}

void FileUploadTest::linkInsideUploadDirectoryIsNotFollowed()
{
    const QString outside = windir.path() + "/elsewhere";
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(uploadDir(user) + "/links"));
    QVERIFY(QFile::link(outside, uploadDir(user) + "/links/dir"));
    QVERIFY(QFile::link(outside + "/victim.txt", uploadDir(user) + "/links/victim.txt"));
    auto client = loggedIn(user);
    QVERIFY(client);
    QCOMPARE(upload(*client, uploadMessage("f.txt", "links/dir/sub", 4), "data"),
             QByteArray("Cannot create target dir inside temporary dir"));
    QVERIFY(!QFileInfo::exists(outside + "/sub"));
    // A link planted in place of the file is not written through.
    QCOMPARE(upload(*client, uploadMessage("victim.txt", "links", 4), "data"),
             QByteArray("Cannot create temporary file"));
    QVERIFY(!QFileInfo::exists(outside + "/victim.txt"));
}

void FileUploadTest::relayWaitsForUploadOnRegisteredConnection()
{
    TestClient control(server->port());
    QCOMPARE(control.request("_serverCommand_set_remote_server?127.0.0.1&upload-control"), QByteArray("Ok"));
    auto sender = loggedIn("upload-control");
    QVERIFY(sender);
    QVERIFY(control.request("login?" + user + "&&" + serverToken) == "Authentication ok.\n");

    QVERIFY(control.send(uploadMessage("during-relay.txt", "relayed", 6)));
    QCOMPARE(control.receiveExactly(2), QByteArray("Ok"));
    QVERIFY(sender->send("_serverCommand_ping"));
    // The relay must neither write into the upload nor take its content for an answer.
    QVERIFY(control.staysSilent(200));
    QVERIFY(control.send("abcdef"));
    QCOMPARE(control.receiveExactly(7), QByteArray("relayed"));
    QCOMPARE(control.receive(), QByteArray("_serverCommand_ping"));
    QVERIFY(control.send("pong"));
    QCOMPARE(sender->receive(), QByteArray("pong"));
    QCOMPARE(fileContents(uploadDir(user) + "/relayed/during-relay.txt"), QByteArray("abcdef"));
}

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(FileUploadTest)
#include "tst_fileupload.moc"
