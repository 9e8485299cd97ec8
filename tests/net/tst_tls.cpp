// The TLS listener of the real server with real TLS clients (Python's ssl module and the openssl
// command), certificates made for the run by the openssl command: the protocol behind the
// handshake, what the server refuses, certificates replaced on disk, and a second real server
// reached over TLS as a user's profiles server.
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QProcess>
#include <QtTest>

namespace {

const QByteArray serverToken = "tls-test-token-" + QByteArray::number(QRandomGenerator::global()->generate());
const QByteArray peerToken = "tls-peer-token-" + QByteArray::number(QRandomGenerator::global()->generate());
const char peerAddress[] = "127.8.8.41";

// One TLS session of a real client, driven line by line through its standard input and output.
class TlsClient
{
public:
    TlsClient(const QString &program, const QStringList &arguments)
    {
        process.start(program, arguments);
        process.waitForStarted(10000);
    }
    ~TlsClient()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }

    // Python's client: "VERSION CN" of the session, or "error REASON".
    static std::unique_ptr<TlsClient> python(quint16 port, const QString &ca, const QStringList &options = {})
    {
        return std::make_unique<TlsClient>(QStringLiteral("python3"),
                                           QStringList{QStringLiteral(AMBRIX_SOURCE_DIR "/tests/fixtures/tlsclient.py"),
                                                       QString::number(port), "--ca", ca} + options);
    }
    QByteArray session() { return line(); }
    QByteArray request(const QByteArray &message) { return say(message.toHex()); }
    void send(const QByteArray &message)
    {
        process.write(">" + message.toHex() + "\n");
        process.waitForBytesWritten(10000);
    }
    QByteArray receive() { return say("<"); }

    // The openssl command's client: each message sent once the reply before it has come.
    static std::unique_ptr<TlsClient> openssl(quint16 port, const QString &ca)
    {
        return std::make_unique<TlsClient>(QStringLiteral("openssl"),
                                           QStringList{"s_client", "-connect", "127.0.0.1:" + QString::number(port),
                                                       "-CAfile", ca, "-verify_return_error", "-quiet", "-nocommands"});
    }
    QByteArray requestLine(const QByteArray &message)
    {
        process.write(message);
        return line() + "\n";
    }

private:
    QByteArray say(const QByteArray &line)
    {
        process.write(line + "\n");
        const QByteArray reply = this->line();
        return reply == "<closed>" ? QByteArray() : QByteArray::fromHex(reply);
    }
    QByteArray line()
    {
        QDeadlineTimer deadline(60000);
        while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        return process.canReadLine() ? process.readLine().chopped(1) : process.readAllStandardOutput();
    }

    TiedProcess process;
};

ProgramResult openssl(const QStringList &arguments)
{
    return runProgram(QStringLiteral("openssl"), arguments, QByteArray(), QProcessEnvironment::systemEnvironment(), 60000);
}

QByteArray patterned(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + i / 509) & 0xff);
    return bytes;
}

} // namespace

class TlsTest : public QObject
{
    Q_OBJECT

    QString file(const QString &name) const { return certificates.filePath(name); }

    // A key and certificate, NAME.key and NAME.pem, for this machine's loopback addresses; the
    // certificate's common name is NAME. Signed by the run's CA unless selfSigned.
    bool makePair(const QString &name, bool selfSigned = false)
    {
        const QString key = file(name + ".key"), request = file(name + ".csr");
        const QStringList sign = selfSigned ? QStringList{"-signkey", key} : QStringList{"-CA", file("ca.pem"), "-CAkey", file("ca.key"), "-CAcreateserial"};
        return openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key}).exitCode == 0
            && openssl({"req", "-new", "-key", key, "-subj", "/CN=" + name, "-out", request}).exitCode == 0
            && openssl(QStringList{"x509", "-req", "-in", request, "-days", "2", "-extfile", file("san.ext"), "-out", file(name + ".pem")} + sign).exitCode == 0
            && QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // What a server's TlsCertificate and TlsKey name becomes the pair NAME, each file replaced whole.
    bool install(const QString &pair, const QString &target)
    {
        for (const char *suffix : {".pem", ".key"}) {
            const QString staged = file(target + ".staged");
            QFile::remove(staged);
            if (!QFile::copy(file(pair + suffix), staged) || std::rename(qPrintable(staged), qPrintable(file(target + suffix))) != 0)
                return false;
        }
        return true;
    }

    // The common name a new session of the server at host sees, once it is expected.
    bool presents(const QString &host, const QByteArray &commonName)
    {
        return waitUntil([&] {
            return TlsClient::python(tlsPort, file("trusted.pem"), {"--host", host})->session().endsWith(" " + commonName);
        }, 60000);
    }

    QTemporaryDir certificates;
    QTemporaryDir windir;
    const QString uploader = "axtls" + QString::number(QCoreApplication::applicationPid());
    const quint16 tlsPort = TestServer::freePort();
    TestServer server;
    TestServer peer;
    TestDatabase database;

private slots:
    void initTestCase()
    {
        // The serving account looks at the files' stamps and reads the CA.
        QVERIFY(QFile::setPermissions(certificates.path(), QFileDevice::Permissions(0x7755)));
        QVERIFY(writeFile(file("san.ext"), QByteArray("subjectAltName=IP:127.0.0.1,IP:") + peerAddress + ",DNS:localhost\n"));
        QCOMPARE(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                          file("ca.key"), "-out", file("ca.pem"), "-days", "2", "-subj", "/CN=Ambrix test CA"}).exitCode, 0);
        for (const char *pair : {"first", "second", "peer"})
            QVERIFY(makePair(pair));
        QVERIFY(makePair("stranger", true));
        // The test's clients trust the stranger too, to see which certificate a server presents.
        QVERIFY(writeFile(file("trusted.pem"), readFile(file("ca.pem")) + readFile(file("stranger.pem"))));
        QVERIFY(install("first", "server") && install("peer", "peer"));

        QVERIFY(Programs::run(Programs::UseraddProgram, {"-N", "-g", "users", "-M", "--", uploader}, 30000).succeeded());
        server.setEnv("windir", windir.path());
        for (TestServer *s : {&server, &peer}) {
            const QString name = s == &server ? "server" : "peer";
            s->setSetting("Server/ServerToken", QString::fromLatin1(s == &server ? serverToken : peerToken));
            s->setSetting("Server/TlsPort", tlsPort);
            s->setSetting("Server/TlsCertificate", file(name + ".pem"));
            s->setSetting("Server/TlsKey", file(name + ".key"));
        }
        server.setSetting("Server/TlsCaFile", file("ca.pem"));
        server.setSetting("Server/PeerTls", "required");
        peer.setAddress(peerAddress);
        peer.setSetting("Server/PlainListener", false);
        QVERIFY(server.start());
        QVERIFY(peer.start());
        QVERIFY2(database.load("tls", {{"TOKEN", peerToken}, {"PORT", QString::number(peer.port())}}), qPrintable(database.lastError()));
    }

    void handshakes_data() { addRowsFrom("tls.rows"); }

    void handshakes()
    {
        QStringList options{"--versions", field("versions")};
        if (!field("ciphers").isEmpty())
            options << "--ciphers" << field("ciphers");
        const QByteArray session = TlsClient::python(tlsPort, file("ca.pem"), options)->session();
        QVERIFY2(session.startsWith(field("outcome").toUtf8()), session.constData());
    }

    // Behind the handshake each request is answered as on the plain port.
    void protocolAsOnThePlainPort()
    {
        const QByteArray login = "login?alice&&" + serverToken + "\n";
        const auto plain = server.login("alice", serverToken);
        const auto python = TlsClient::python(tlsPort, file("ca.pem"));
        const auto command = TlsClient::openssl(tlsPort, file("ca.pem"));
        QVERIFY(plain);
        QCOMPARE(python->session(), QByteArray("TLSv1.3 first"));
        QCOMPARE(python->request(login), QByteArray("Authentication ok.\n"));
        QCOMPARE(command->requestLine(login), QByteArray("Authentication ok.\n"));
        for (const QByteArray request : {"get_profiles_server", "get_profiles_path", "get_storage_redirections"}) {
            const QByteArray expected = plain->request(request);
            QVERIFY(!expected.isEmpty());
            QCOMPARE(python->request(request), expected);
            QCOMPARE(command->requestLine(request + "\n"), expected);
        }
    }

    // Content of many records, taken exactly: the next message is a message of its own.
    void upload()
    {
        const QByteArray content = patterned(100000);
        const auto client = TlsClient::python(tlsPort, file("ca.pem"));
        QVERIFY(!client->session().startsWith("error"));
        QCOMPARE(client->request("login?" + uploader.toUtf8() + "&&" + serverToken + "\n"), QByteArray("Authentication ok.\n"));
        QCOMPARE(client->request("_sendBinaryFile_?t.bin&tls&" + QByteArray::number(content.size())), QByteArray("Ok"));
        client->send(content);
        QCOMPARE(client->receive(), QByteArray("tls"));
        QCOMPARE(readFile(windir.path() + "/TEMP/ambrix-" + uploader + "/tls/t.bin"), content);
        QVERIFY(client->request("get_profiles_server").endsWith("\n"));
    }

    void controlChannelRelay()
    {
        const auto control = TlsClient::python(tlsPort, file("ca.pem"));
        QVERIFY(!control->session().startsWith("error"));
        QCOMPARE(control->request("_serverCommand_set_remote_server?127.0.0.1&tls-ctl"), QByteArray("Ok"));
        const auto sender = server.login("tls-ctl", serverToken);
        QVERIFY(sender && sender->send("_serverCommand_open?doc.txt&1"));
        QCOMPARE(control->receive(), QByteArray("_serverCommand_open?doc.txt&1"));
        control->send(" opened doc.txt\r\n");
        QCOMPARE(sender->receive(), QByteArray("opened doc.txt"));
    }

    void unusableFiles_data()
    {
        QVERIFY(QFile::link(file("first.key"), file("link.key")));
        addRowsFrom("tls.rows", {{"dir", certificates.path()}});
    }

    void unusableFiles()
    {
        TestServer tlsOnly;
        tlsOnly.setSetting("Server/PlainListener", false);
        tlsOnly.setSetting("Server/TlsPort", TestServer::freePort());
        tlsOnly.setSetting("Server/TlsCertificate", field("certificate"));
        tlsOnly.setSetting("Server/TlsKey", field("key"));
        const ProgramResult r = tlsOnly.run({"-a", "127.0.0.1", "-p", QString::number(TestServer::freePort())});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.out.contains("PlainListener is false and there is no TLS listener: nothing to serve"), r.out.constData());
        QVERIFY(tlsOnly.logContents().contains("Error: No TLS listener: " + field("reason").toUtf8()));
    }

    void unfinishedHandshakes_data() { addRowsFrom("tls.rows", {{"token", QString::fromLatin1(serverToken)}}); }

    void unfinishedHandshakes()
    {
        TestClient stuck(tlsPort);
        QVERIFY(stuck.isConnected() && stuck.send(field("sent").toUtf8()));
        const auto other = TlsClient::python(tlsPort, file("ca.pem"));
        QVERIFY(!other->session().startsWith("error"));
        QCOMPARE(other->request("login?alice&&" + serverToken + "\n"), QByteArray("Authentication ok.\n"));
        QVERIFY(!stuck.receive(100).contains("Authentication"));
        QVERIFY(stuck.waitForClose(60000));
    }

    // Files replaced on disk are used without a restart; a pair that does not match is not.
    void certificateRotation()
    {
        const auto refusals = [&] { return server.logContents().count("The TLS certificate and key cannot be used"); };
        QVERIFY(install("second", "server"));
        QVERIFY(presents("127.0.0.1", "second"));
        const int before = refusals();
        QVERIFY(QFile::copy(file("first.pem"), file("mixed.pem")) && QFile::copy(file("second.key"), file("mixed.key")));
        QVERIFY(install("mixed", "server"));
        // The files are looked at when a handshake comes.
        QVERIFY(waitUntil([&] { return TlsClient::python(tlsPort, file("ca.pem"))->session().endsWith(" second") && refusals() > before; }, 60000));
        QVERIFY(TlsClient::python(tlsPort, file("ca.pem"))->session().endsWith(" second"));
    }

    // The profiles server is another real server, on TLS alone; PeerTls=required here.
    void forwarding_data()
    {
        const auto direct = TlsClient::python(tlsPort, file("ca.pem"), {"--host", peerAddress});
        QVERIFY(direct->session().endsWith(" peer"));
        QCOMPARE(direct->request("login?tls_remote&&" + peerToken + "\n"), QByteArray("Authentication ok.\n"));
        // Forwarded replies come back trimmed.
        const QByteArray reply = direct->request("get_cloud_drives?dropbox").trimmed() + "\n";
        addRowsFrom("tls.rows", {{"direct", QString::fromUtf8(reply)}});
    }

    void forwarding()
    {
        QVERIFY(install(field("pair"), "peer"));
        QVERIFY(presents(peerAddress, field("pair").toUtf8()));
        const auto delivered = [&] { return peer.standardError().count("'get_cloud_drives?dropbox'"); };
        const int before = delivered();
        const auto client = server.login("tls_remote", serverToken);
        QVERIFY(client);
        QCOMPARE(client->request("get_cloud_drives?dropbox", 30000), field("reply").toUtf8());
        QCOMPARE(delivered() > before, !field("delivered").isEmpty());
        QVERIFY(!field("delivered").isEmpty() || server.logContents().contains("TLS failed: the certificate is not trusted"));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(TlsTest)
#include "tst_tls.moc"
