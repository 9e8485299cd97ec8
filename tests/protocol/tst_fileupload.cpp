// Uploads over real TCP into a private "windir", by a real account in private copies of the
// host's account files: replies, content, owner and access list, and what a refused upload leaves
// on the connection and on disk; and the walk down a client's target directory with links planted
// in it, driven directly so that every position is hit.
#include "accounts/axusercommand.h"
#include "platform/directoryhandle.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testfiles.h"
#include "testserver.h"

#include <QtTest>

#include <memory>

namespace {

// Logins accept any user name with the server's own token.
const QByteArray serverToken = "upload-test-token-3Kd";
// Sent after every upload: its reply shows that no file byte was read as a request.
const QByteArray probe = "no_such_command?1";

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
    void uploads_data();
    void uploads();
    void ownerAndAccessList();
    void relayWaitsForUploadOnRegisteredConnection();
    void walkNeverFollowsLinks_data();
    void walkNeverFollowsLinks();

private:
    std::unique_ptr<TestClient> loggedIn(const QByteArray &name) { return server.login(name, serverToken); }
    QString uploadDir(const QByteArray &user) const { return windir.path() + "/TEMP/ambrix-" + user; }

    QTemporaryDir windir;
    QString elsewhere;
    TestServer server;
    QByteArray user;
};

void FileUploadTest::initTestCase()
{
    QVERIFY(windir.isValid());
    user = "axup" + QByteArray::number(QCoreApplication::applicationPid());
    QCOMPARE(AXUserCommand::createUser(QString::fromLatin1(user), "Pass-word1"), QString());
    // A file where one user's upload directory belongs, one in the way of a target directory,
    // and links planted inside the upload directory that lead out of it.
    elsewhere = windir.filePath("elsewhere");
    QVERIFY(QDir().mkpath(elsewhere) && QDir().mkpath(uploadDir(user) + "/holder/sub"));
    QVERIFY(QDir().mkpath(uploadDir(user) + "/links"));
    QVERIFY(QFile(uploadDir("blocked")).open(QIODevice::WriteOnly));
    QVERIFY(QFile(uploadDir(user) + "/plain-file").open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(elsewhere, uploadDir(user) + "/links/dir"));
    QVERIFY(QFile::link(elsewhere + "/victim.txt", uploadDir(user) + "/links/victim.txt"));

    server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
    server.setEnv("windir", windir.path());
    QVERIFY(server.start());
}

void FileUploadTest::cleanupTestCase()
{
    Programs::run(QString::fromLatin1(Programs::UserdelProgram), {"--", QString::fromLatin1(user)}, 30000);
}

void FileUploadTest::uploads_data()
{
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("stored"); // where the content lands, below the upload directory

    const QByteArray big = patterned(20 * 1024 * 1024);
    const QByteArray small = patterned(3000);
    // Content that would end the connection if it were read as a request.
    const QByteArray quit = "quit\n";
    const QByteArray badTarget = "Cannot create target dir inside temporary dir";
    const QByteArray badFile = "Cannot create temporary file";
    QTest::newRow("3000 bytes") << user << uploadMessage("a.bin", "reports", 3000) << small << QByteArray("reports")
                       << "reports/a.bin";
    // Follows the row above: the longer file it left must not keep its tail.
    QTest::newRow("shorter file replaces") << user << uploadMessage("a.bin", "reports", 5) << quit
                                  << QByteArray("reports") << "reports/a.bin";
    QTest::newRow("20 MB, nested") << user << uploadMessage("b.bin", "big/one", big.size()) << big
                          << QByteArray("big/one") << "big/one/b.bin";
    QTest::newRow("domain part dropped") << "CORP\\" + user << uploadMessage("c.bin", "dom", 3000) << small
                                << QByteArray("dom") << "dom/c.bin";
    QTest::newRow("empty target dir") << user << uploadMessage("d.txt", "", 5) << quit << QByteArray() << "d.txt";
    QTest::newRow("size 0") << user << uploadMessage("e.txt", "", 0) << QByteArray()
                   << QByteArray("Invalid file length") << "e.txt";
    QTest::newRow("two parameters") << user << QByteArray("_sendBinaryFile_?a.txt&5") << QByteArray()
                           << QByteArray("Bad number of parameters for binary file message") << QString();
    QTest::newRow("upload dir blocked") << QByteArray("blocked") << uploadMessage("a.txt", "", 5) << quit
                               << QByteArray("Cannot create temporary dir") << QString();
    QTest::newRow("no such account") << user + "-nobody" << uploadMessage("a.txt", "x", 5) << quit
                            << QByteArray("Cannot get user sid") << QString();
    QTest::newRow("file in the way") << user << uploadMessage("a.txt", "plain-file/sub", 5) << quit << badTarget
                            << QString();
    QTest::newRow("way up") << user << uploadMessage("a.txt", "a/../../escape", 5) << quit << badTarget << QString();
    QTest::newRow("just up") << user << uploadMessage("a.txt", "..", 5) << quit << badTarget << QString();
    QTest::newRow("absolute") << user << uploadMessage("a.txt", QFile::encodeName(elsewhere), 5) << quit
                     << badTarget << QString();
    QTest::newRow("link to a dir") << user << uploadMessage("a.txt", "links/dir/sub", 5) << quit << badTarget
                          << QString();
    QTest::newRow("link as file") << user << uploadMessage("victim.txt", "links", 5) << quit << badFile << QString();
    QTest::newRow("file name is a dir") << user << uploadMessage("sub", "holder", 5) << quit << badFile << QString();
    QTest::newRow("file name with slash") << user << uploadMessage("../x.txt", "", 5) << quit << badFile << QString();
    QTest::newRow("file name dot dot") << user << uploadMessage("..", "holder", 5) << quit << badFile << QString();
    QTest::newRow("empty file name") << user << uploadMessage("", "holder", 5) << quit << badFile << QString();
}

void FileUploadTest::uploads()
{
    QFETCH(QByteArray, login);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, reply);
    QFETCH(QString, stored);
    auto client = loggedIn(login);
    QVERIFY(client);
    QVERIFY(client->send(message));
    QCOMPARE(client->receiveExactly(2), QByteArray("Ok"));
    // The server takes exactly the content, so the probe right behind it is a message of its own.
    QVERIFY(client->send(content + probe));
    QByteArray replies;
    QDeadlineTimer deadline(15000);
    while (!replies.endsWith(")\n") && !deadline.hasExpired())
        replies += client->receive(int(qMax<qint64>(1, deadline.remainingTime())));
    QCOMPARE(replies.left(replies.indexOf("Error: Unknown command")), reply);
    QVERIFY(replies.mid(reply.size()).startsWith("Error: Unknown command"));
    if (!stored.isEmpty())
        QVERIFY(QFileInfo::exists(uploadDir(user) + "/" + stored) && readFile(uploadDir(user) + "/" + stored) == content);

    // Nothing was created outside the upload directory.
    QCOMPARE(QDir(windir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList({"elsewhere", "TEMP"}));
    QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    const QStringList uploadDirs = QDir(windir.filePath("TEMP")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    for (const QString &entry : uploadDirs)
        QVERIFY2(entry.startsWith("ambrix-"), qPrintable(entry));
}

void FileUploadTest::ownerAndAccessList()
{
    auto client = loggedIn(user);
    QVERIFY(client);
    QVERIFY(client->send(uploadMessage("owned.txt", "owned", 3)));
    QCOMPARE(client->receiveExactly(2), QByteArray("Ok"));
    QVERIFY(client->send("abc"));
    QCOMPARE(client->receiveExactly(5), QByteArray("owned"));
    const QFileInfo file(uploadDir(user) + "/owned/owned.txt");
    const QString name = QString::fromLatin1(user);
    const QByteArray uid = output("/usr/bin/id", {"-u", name});
    QCOMPARE(QByteArray::number(file.ownerId()), uid);
    QCOMPARE(QByteArray::number(file.groupId()), output("/usr/bin/id", {"-g", name}));
    // The user alone (besides root) gets into the directory; nobody else at all.
    QCOMPARE(output("/usr/bin/getfacl", {"--omit-header", "--numeric", uploadDir(user) + "/owned"}),
             "user::rwx\nuser:" + uid + ":rwx\ngroup::---\nmask::rwx\nother::---");
}

void FileUploadTest::relayWaitsForUploadOnRegisteredConnection()
{
    TestClient control(server.port());
    QCOMPARE(control.request("_serverCommand_set_remote_server?127.0.0.1&upload-control"), QByteArray("Ok"));
    QCOMPARE(control.request("login?" + user + "&&" + serverToken), QByteArray("Authentication ok.\n"));
    auto sender = loggedIn("upload-control");
    QVERIFY(sender);

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
    QCOMPARE(readFile(uploadDir(user) + "/relayed/during-relay.txt"), QByteArray("abcdef"));
}

void FileUploadTest::walkNeverFollowsLinks_data()
{
    QTest::addColumn<int>("position"); // of the link in a/b/c/d; -1: none
    QTest::addColumn<bool>("dangling");
    QTest::newRow("no link") << -1 << false;
    for (int position = 0; position < 4; ++position) {
        QTest::addRow("link at %d", position) << position << false;
        QTest::addRow("dangling link at %d", position) << position << true;
    }
}

// A user may swap any component for a link between two uploads, or during one: the walk must
// neither go through it nor create anything where it leads.
void FileUploadTest::walkNeverFollowsLinks()
{
    QFETCH(int, position);
    QFETCH(bool, dangling);
    QTemporaryDir root;
    const QString outside = root.filePath("outside");
    const QStringList parts{"a", "b", "c", "d"};
    QString path = root.filePath("base");
    QVERIFY(QDir().mkpath(outside) && QDir().mkpath(path));
    for (int i = 0; i < position; ++i)
        QVERIFY(QDir().mkdir(path += "/" + parts.at(i)));
    if (position >= 0)
        QVERIFY(QFile::link(dangling ? outside + "/missing" : outside, path + "/" + parts.at(position)));

    const DirectoryHandle walked = DirectoryHandle::open(root.filePath("base")).openBelow(parts.join('/'), true);
    QCOMPARE(walked.isOpen(), position < 0);
    QVERIFY(position >= 0 || QFileInfo(root.filePath("base/a/b/c/d")).isDir());
    QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System), QStringList());
}

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(FileUploadTest)
#include "tst_fileupload.moc"
