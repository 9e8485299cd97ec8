// Uploads over real TCP into a private "windir", by a real account in private copies of the
// host's account files: replies, content, owner and access list, and what a refused upload leaves
// on the connection and on disk.
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testserver.h"

#include <QtTest>

namespace {

// Logins accept any user name with the server's own token.
const QByteArray serverToken = "upload-test-token-3Kd";

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

    QString uploadDir(const QString &user) const { return windir.path() + "/TEMP/ambrix-" + user; }

    QTemporaryDir windir;
    const QString elsewhere = windir.filePath("elsewhere");
    const QString user = "axup" + QString::number(QCoreApplication::applicationPid());
    TestServer server;

private slots:
    void initTestCase()
    {
        for (const QString &account : {user, user + "b"})
            QVERIFY(Programs::run(Programs::UseraddProgram, {"-N", "-g", "users", "-M", "--", account}, 30000).succeeded());
        // A file where one user's upload directory belongs, one in the way of a target directory,
        // and links planted inside the upload directory that lead out of it.
        QVERIFY(QDir().mkpath(elsewhere) && QDir().mkpath(uploadDir(user) + "/holder/sub") && QDir().mkpath(uploadDir(user) + "/links"));
        QVERIFY(writeFile(uploadDir(user + "b"), "") && writeFile(uploadDir(user) + "/plain-file", ""));
        QVERIFY(QFile::link(elsewhere, uploadDir(user) + "/links/dir"));
        QVERIFY(QFile::link(elsewhere + "/victim.txt", uploadDir(user) + "/links/victim.txt"));
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        server.setEnv("windir", windir.path());
        QVERIFY(server.start());
    }

    // Uploads, each followed by a request on the same connection, and what they leave on disk.
    void uploads_data() { addRowsFrom("fileupload.rows", {{"user", user}, {"elsewhere", elsewhere}}); }

    void uploads()
    {
        const QString stored = field("stored"), kind = field("content");
        const QByteArray reply = field("reply").toUtf8();
        const QByteArray content = kind == "quit" ? "quit\n" : kind == "big" ? patterned(20 << 20) : patterned(kind.toInt());
        const QString login = field("login").isEmpty() ? user : field("login");
        const auto client = server.login(login.toUtf8(), serverToken);
        QVERIFY(client);
        const QString parameters = field("parameters");
        QVERIFY(client->send("_sendBinaryFile_?" + QString(parameters).replace("{size}", QString::number(content.size())).toUtf8()));
        QCOMPARE(client->receiveExactly(2), QByteArray("Ok"));
        // The server takes exactly the content, so the request right behind it is a message of its own.
        QVERIFY(client->send(content + "no_such_command?1"));
        QByteArray replies;
        QDeadlineTimer deadline(15000);
        while (!replies.endsWith(")\n") && !deadline.hasExpired())
            replies += client->receive(int(qMax<qint64>(1, deadline.remainingTime())));
        QCOMPARE(replies.left(replies.indexOf("Error: Unknown command")), reply);
        QVERIFY(replies.mid(reply.size()).startsWith("Error: Unknown command"));
        if (!stored.isEmpty())
            QCOMPARE(readFile(uploadDir(user) + "/" + stored), content);
        // Nothing was created outside the upload directory.
        QCOMPARE(QDir(windir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList({"elsewhere", "TEMP"}));
        QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        for (const QString &entry : QDir(windir.filePath("TEMP")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries))
            QVERIFY2(entry.startsWith("ambrix-"), qPrintable(entry));
    }

    void ownerAndAccessList()
    {
        const auto client = server.login(user.toUtf8(), serverToken);
        QVERIFY(client && client->send("_sendBinaryFile_?owned.txt&owned&3"));
        QCOMPARE(client->receiveExactly(2), QByteArray("Ok"));
        QVERIFY(client->send("abc"));
        QCOMPARE(client->receiveExactly(5), QByteArray("owned"));
        const QFileInfo file(uploadDir(user) + "/owned/owned.txt");
        const QByteArray uid = output("/usr/bin/id", {"-u", user});
        QCOMPARE(QByteArray::number(file.ownerId()), uid);
        QCOMPARE(QByteArray::number(file.groupId()), output("/usr/bin/id", {"-g", user}));
        // The user alone (besides root) gets into the directory; nobody else at all.
        QCOMPARE(output("/usr/bin/getfacl", {"--omit-header", "--numeric", uploadDir(user) + "/owned"}),
                 "user::rwx\nuser:" + uid + ":rwx\ngroup::---\nmask::rwx\nother::---");
    }

    void relayWaitsForUploadOnRegisteredConnection()
    {
        TestClient control(server.port());
        QCOMPARE(control.request("_serverCommand_set_remote_server?127.0.0.1&" + user.toUtf8()), QByteArray("Ok"));
        QCOMPARE(control.request("login?" + user.toUtf8() + "&&" + serverToken), QByteArray("Authentication ok.\n"));
        const auto sender = server.login(user.toUtf8(), serverToken);
        QVERIFY(sender && control.send("_sendBinaryFile_?during-relay.txt&relayed&6"));
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
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(FileUploadTest)
#include "tst_fileupload.moc"
