// ambrix-cli against the real server: login, replies as they come, exit statuses.
#include "fakeprogram.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

ProgramResult runCli(const QStringList &args, const QByteArray &input = QByteArray())
{
    return runProgram(QStringLiteral(AMBRIX_CLI_BIN), args, input);
}

// Logins accept any user name with the server's own token; uploads go to a real account.
const char serverToken[] = "cli-test-server-token-8Qw";

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

    QByteArray icon;
    // Stands in for the download program: "-q -O FILE URL" writes the icon kept beside it.
    FakeProgram wget{"wget", "cat \"$d/icon.bin\" > \"$3\"\n"};
    QTemporaryDir windir;
    TestDatabase db;
    TestServer server;

private slots:
    void initTestCase()
    {
        // Bytes of every value, and a length whose prefix uses three of its four bytes.
        for (int i = 0; i < 70000; ++i)
            icon += char((i * 13 + i / 256) & 0xff);
        QVERIFY(wget.install() && writeFile(wget.directory() + "/icon.bin", icon));
        QVERIFY2(db.load("cli"), qPrintable(db.lastError()));
        server.setEnv("PATH", wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setEnv("windir", windir.path());
        server.setSetting("Server/ServerToken", serverToken);
        QVERIFY(server.start());
    }

    void cleanupTestCase()
    {
        server.interrupt();
        QVERIFY(server.waitForExit());
    }

    // The arguments ("|" between; {at}: the server's port, {alice}: that and her login, {dead}: a
    // port nothing listens on, {file}: a file the payload must land in), standard input, exit
    // status (0 success, 1 bad arguments, 2 connection failed, 3 login refused), standard output
    // as a regular expression, and what standard error holds ("!": must not hold).
    void runs_data()
    {
        const QString alice = "{alice}|", port = "|get_remote_app_server_port", text = "^\\d*\\n$";
        addRows({"args", "input", "exitCode", "out", "err"}, {
            // One connection: what the first message stores, the later ones read back.
            {"replies in order after login", alice + "set_remote_app_server?4411&192.0.2.77|get_remote_app_server_address" + port,
             "", "0", "^\\n192\\.0\\.2\\.77\\n4411\\n$", ""},
            {"message sent exactly as given", alice + "set_remote_app_server?1&a b'c\"d\\e $HOME *|get_remote_app_server_address",
             "", "0", "^\\na b'c\"d\\\\e \\$HOME \\*\\n$", ""},
            {"token from standard input", "{at}|-u|alice|-t|-" + port, QString(SampleData::AliceToken) + "\n", "0", text, ""},
            {"reply without line end", "{at}" + port, "", "0", "^Not authenticated$", ""},
            // Not logged in, a byte-array request is refused with the plain text, without a length.
            {"byte array refused", "{at}|_byteArray_get_application_icon?1", "", "0", "^Not authenticated$", ""},
            {"other user's token", "{at}|-u|alice|-t|" + QString(SampleData::BobToken) + port, "", "3", "^$",
             "Error: Bad authentication"},
            {"unknown user", "{at}|-u|cli-nobody-7f3a|-t|" + QString(SampleData::AliceToken) + port, "", "3", "^$",
             "Error: Bad authentication"},
            {"outside the admin group, logged in", alice + "-g|cli-nogroup-7f3a" + port, "", "0", text,
             "without administrator rights"},
            {"quit", "{at}|quit", "", "0", "^$", ""},
            {"quit, then more", "{at}|quit" + port, "", "2", "^$", "closed"},
            {"unreachable server", "-p|{dead}" + port, "", "2", "^$", "Cannot connect"},
            // Each of these fails before any connection is tried.
            {"message over 1023 bytes", "-p|{dead}|" + QString(1024, 'x'), "", "1", "^$", "!Cannot connect"},
            {"user without token", "-p|{dead}|-u|alice" + port, "", "1", "^$", "!Cannot connect"},
            {"user holding &", "-p|{dead}|-u|a&b|-t|x" + port, "", "1", "^$", "!Cannot connect"},
            {"-o without byte array", "-p|{dead}|-o|/dev/null" + port, "", "1", "^$", "!Cannot connect"},
            {"raw upload message", "-p|{dead}|_sendBinaryFile_?a&&3", "", "1", "^$", "!Cannot connect"},
            {"upload of a missing file", "-p|{dead}|-u|alice|-t|x|upload|/nonexistent/cli-7f3a", "", "1", "^$", "!Cannot connect"},
            {"upload without login", "-p|{dead}|upload|" AMBRIX_CLI_BIN, "", "1", "^$", "!Cannot connect"},
            {"nothing to send", "-p|{dead}", "", "1", "^$", "!Cannot connect"},
            // Behind each byte-array reply a text request, whose answer shows the framed reply was
            // taken off the connection whole; a refusal is a framed error text, printed after its size.
            {"icon", alice + "_byteArray_get_application_group_icon?93001" + port, "", "0", "^70000 bytes\\n\\d*\\n$", ""},
            {"no icon", alice + "_byteArray_get_application_group_icon?93002" + port, "", "0", "^0 bytes\\n\\d*\\n$", ""},
            {"wrong count", alice + "_byteArray_get_user_logo?a&b" + port, "", "0", "^\\d+ bytes\\nError: Invalid number of "
             "parameters for ByteArray command _byteArray_get_user_logo\\(.+\\)\\n\\d*\\n$", ""},
            {"payload to a file", alice + "-o|{file}|_byteArray_get_application_group_icon?93001", "", "0", "^70000 bytes\\n$", ""}});
    }

    void runs()
    {
        const QString err = field("err"), file = windir.filePath("out.png");
        const QString at = "-p|" + QString::number(server.port());
        const QStringList args = field("args").replace("{alice}", at + "|-u|alice|-t|" + SampleData::AliceToken).replace("{at}", at)
                                     .replace("{dead}", QString::number(TestServer::freePort())).replace("{file}", file).split('|');
        const ProgramResult r = runCli(args, field("input").toUtf8());
        QCOMPARE(r.exitCode, field("exitCode").toInt());
        QVERIFY2(QRegularExpression(field("out")).match(QString::fromUtf8(r.out)).hasMatch(), r.out.constData());
        QVERIFY2(err.startsWith('!') ? !r.err.contains(err.mid(1).toUtf8()) && !r.err.isEmpty() : r.err.contains(err.toUtf8()),
                 r.err.constData());
        if (args.contains(file))
            QCOMPARE(readFile(file), icon);
    }

    // Uploads as "root" (the server token), into the upload directory below windir.
    void uploads_data()
    {
        addRows({"size", "targetDir", "reply", "exitCode"}, {
            {"3000 bytes into a folder", "3000", "inbox", "inbox", "0"},
            // The empty reply of an empty TARGETDIR puts nothing on the wire.
            {"3 MiB, no folder", "3145728", "", "", "0"},
            {"folder outside", "5", "..", "Cannot create target dir inside temporary dir", "4"},
            {"empty file", "0", "e", "Invalid file length", "4"}});
    }

    void uploads()
    {
        const QString targetDir = field("targetDir");
        const int size = field("size").toInt();
        const QString name = QStringLiteral("up-%1.bin").arg(QTest::currentDataTag()).replace(' ', '-');
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            content[i] = char((i * 31 + i / 1021) & 0xff);
        QVERIFY(writeFile(wget.directory() + "/" + name, content));
        QStringList args{"-p", QString::number(server.port()), "-u", "root", "-t", serverToken, "upload", wget.directory() + "/" + name};
        const ProgramResult r = runCli(targetDir.isEmpty() ? args : args << targetDir);
        QCOMPARE(r.exitCode, field("exitCode").toInt());
        QCOMPARE(QString::fromUtf8(r.out), field("reply"));
        if (r.exitCode != 0)
            return;
        QCOMPARE(readFile(windir.path() + "/TEMP/ambrix-root/" + (targetDir.isEmpty() ? "" : targetDir + '/') + name), content);
        // Large files show their progress.
        QCOMPARE(r.err.contains("100%"), size >= 1024 * 1024);
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
