// ambrix-cli against the real server, on its plain port and over TLS: login, replies as they
// come, exit statuses.
#include "fakeprogram.h"
#include "platform/programs.h"
#include "privateaccounts.h"
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
    // Uploads go to a real account's upload directory: the platform's own, never root's.
    const QString uploader = "axcli" + QString::number(QCoreApplication::applicationPid());
    TestDatabase db;
    TestServer server;
    // The server's own certificate, self-signed for 127.0.0.1, as a package makes one.
    QTemporaryDir tls;
    const quint16 tlsPort = TestServer::freePort();
    QStringList overTls() const { return {"--tls", "--ca", tls.filePath("server.pem"), "-p", QString::number(tlsPort)}; }

private slots:
    void initTestCase()
    {
        // Bytes of every value, and a length whose prefix uses three of its four bytes.
        for (int i = 0; i < 70000; ++i)
            icon += char((i * 13 + i / 256) & 0xff);
        QVERIFY(wget.install() && writeFile(wget.directory() + "/icon.bin", icon));
        QVERIFY2(db.load("cli"), qPrintable(db.lastError()));
        QVERIFY(Programs::run(Programs::UseraddProgram, {"-M", "-U", "--", uploader}, 30000).succeeded());
        server.setEnv("PATH", wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setEnv("windir", windir.path());
        server.setSetting("Server/ServerToken", serverToken);
        QVERIFY(QFile::setPermissions(tls.path(), QFileDevice::Permissions(0x7755)));
        QCOMPARE(runProgram("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                        "-keyout", tls.filePath("server.key"), "-out", tls.filePath("server.pem")}).exitCode, 0);
        server.setSetting("Server/TlsPort", tlsPort);
        server.setSetting("Server/TlsCertificate", tls.filePath("server.pem"));
        server.setSetting("Server/TlsKey", tls.filePath("server.key"));
        QVERIFY(server.start());
    }

    void cleanupTestCase()
    {
        server.interrupt();
        QVERIFY(server.waitForExit());
    }

    // Runs of the client: arguments, input, exit status and output.
    void runs_data()
    {
        addRowsFrom("cli.rows", {{"token", SampleData::AliceToken}, {"bob", SampleData::BobToken}, {"long", QString(1024, 'x')},
                                 {"cli", AMBRIX_CLI_BIN}});
    }

    void runs()
    {
        const QString err = field("err"), file = windir.filePath("out.png");
        const QString at = "-p|" + QString::number(server.port());
        const QStringList args = field("args").replace("{alice}", at + "|-u|alice|-t|" + SampleData::AliceToken).replace("{at}", at)
                                     .replace("{tls}", overTls().join('|')).replace("{tlsport}", QString::number(tlsPort))
                                     .replace("{dead}", QString::number(TestServer::freePort())).replace("{file}", file).split('|');
        const ProgramResult r = runCli(args, field("input").toUtf8());
        QCOMPARE(r.exitCode, field("exitCode").toInt());
        QVERIFY2(QRegularExpression(field("out")).match(QString::fromUtf8(r.out)).hasMatch(), r.out.constData());
        QVERIFY2(err.startsWith('!') ? !r.err.contains(err.mid(1).toUtf8()) && !r.err.isEmpty() : r.err.contains(err.toUtf8()),
                 r.err.constData());
        if (args.contains(file))
            QCOMPARE(readFile(file), icon);
    }

    // Uploads as the account (the server token), into its upload directory below windir.
    void uploads_data() { addRowsFrom("cli.rows"); }

    void uploads()
    {
        const QString targetDir = field("targetDir");
        const int size = field("size").toInt();
        const QString name = QStringLiteral("up-%1.bin").arg(QTest::currentDataTag()).replace(' ', '-');
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            content[i] = char((i * 31 + i / 1021) & 0xff);
        QVERIFY(writeFile(wget.directory() + "/" + name, content));
        QStringList args = field("transport") == "tls" ? overTls() : QStringList{"-p", QString::number(server.port())};
        args << "-u" << uploader << "-t" << serverToken << "upload" << wget.directory() + "/" + name;
        const ProgramResult r = runCli(targetDir.isEmpty() ? args : args << targetDir);
        QCOMPARE(r.exitCode, field("exitCode").toInt());
        QCOMPARE(QString::fromUtf8(r.out), field("reply"));
        if (r.exitCode != 0)
            return;
        QCOMPARE(readFile(windir.path() + "/TEMP/ambrix-" + uploader + "/" + (targetDir.isEmpty() ? "" : targetDir + '/') + name), content);
        // Large files show their progress.
        QCOMPARE(r.err.contains("100%"), size >= 1024 * 1024);
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(CliTest)
#include "tst_cli.moc"
