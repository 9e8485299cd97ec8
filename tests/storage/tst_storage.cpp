// A user's storage seen by a client of the real server, with fixture rows in the real database:
// the profiles server (from the user's groups, then the platform parameters), the profile path and
// the drive redirections; cloud drives through runs of the cloud-drive program (a fake installed
// only where none exists), the per-connection configuration slot, and forwarding to a user's
// profiles server on another machine.
#include "fakepeer.h"
#include "fakeprogram.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray serverToken = "st8Token" + QByteArray::number(QRandomGenerator::global()->generate());
const QByteArray remoteToken = "st8RemoteToken" + QByteArray::number(QRandomGenerator::global()->generate());
const QByteArray onlyLinux = "Error: currently only linux supported for cloud drives\n";

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestClient> loginAs(const QByteArray &user, const char *source = nullptr)
    {
        return server.login(user, serverToken, source);
    }

    FakeProgram fake{QStringLiteral("/usr/bin/managecloud"), fixture("managecloud.sh")};
    bool foreignProgram = QFileInfo::exists(fake.path());
    TestServer server;
    std::unique_ptr<TestClient> alice; // her profiles server is this machine (127.0.0.1)
    TestDatabase database;
    FakePeer remote{"127.8.8.31"};

private slots:
    void initTestCase()
    {
        QVERIFY(foreignProgram || fake.install());
        QVERIFY(remote.port() != 0);
        QVERIFY2(database.load("storage", {{"TOKEN", remoteToken}, {"REMOTE", QString::number(remote.port())},
                                           {"DEAD", QString::number(TestServer::freePort())}}),
                 qPrintable(database.lastError()));
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        QVERIFY(server.start());
        QVERIFY(alice = loginAs("alice"));
    }

    void answers_data() { addRowsFrom("storage.rows"); }

    void answers()
    {
        const std::unique_ptr<TestClient> client = loginAs(field("user").toUtf8(), qPrintable(field("source")));
        QVERIFY(client);
        QCOMPARE(client->request(field("request").toUtf8()), field("reply").toUtf8());
    }

    // Changes the shared "ax_parameters" rows for a moment and puts them back, even on failure.
    void withoutPlatformParameters()
    {
        const QList<QStringList> saved = database.rows("SELECT id, profile_server_id, profile_path FROM ax_parameters");
        const auto restore = qScopeGuard([&] {
            const auto sqlValue = [](const QString &v) { return v.isNull() ? QStringLiteral("NULL") : "'" + v + "'"; };
            for (const QStringList &row : saved)
                database.exec(QStringLiteral("UPDATE ax_parameters SET profile_server_id=%1, profile_path=%2 WHERE id=%3")
                                  .arg(sqlValue(row[1]), sqlValue(row[2]), row[0]));
            database.exec("DELETE FROM ax_parameters WHERE id BETWEEN 80801 AND 80999");
        });
        QVERIFY(database.execAll({"UPDATE ax_parameters SET profile_server_id=NULL, profile_path=''",
                                  "INSERT INTO ax_parameters (id, profile_server_id, profile_path) VALUES (80801, -1, NULL),"
                                  " (80802, NULL, '/srv/st8/profiles'), (80803, NULL, '/srv/st8/later')"}));
        QCOMPARE(loginAs("st8_fallback")->request("get_profiles_server"), QByteArray("\n"));
        QCOMPARE(loginAs("st8_first")->request("get_profiles_server"), QByteArray("127.8.8.1:4601\n"));
        // Empty and missing paths are skipped.
        QCOMPARE(loginAs("st8_nogroup")->request("get_profiles_path"), QByteArray("/srv/st8/profiles\n"));
    }

    // What the cloud-drive program was run with, as it behaved.
    void programRuns_data() { addRowsFrom("storage.rows"); }

    void programRuns()
    {
        if (foreignProgram)
            QSKIP("a cloud-drive program of someone else is installed on this machine");
        const QString behaviour = field("behaviour");
        QDir dir(fake.directory());
        for (const QString &name : dir.entryList(QDir::Files))
            QVERIFY(dir.remove(name));
        for (const QString &entry : behaviour.split(';', Qt::SkipEmptyParts))
            QVERIFY(writeFile(dir.filePath(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8()));
        if (behaviour == "missing")
            fake.remove();
        const auto reinstall = qScopeGuard([&] { fake.install(); });
        QCOMPARE(alice->request(field("request").toUtf8(), 40000), field("reply").toUtf8());
        QCOMPARE(fake.calls(), field("calls").split(';', Qt::SkipEmptyParts));
    }

    void configurationSlot()
    {
        const QByteArray nonePending = "Error: there is no cloud drive configuring at this moment\n";
        QCOMPARE(alice->request("set_cloud_drive?dropbox&x"), onlyLinux);
        QCOMPARE(alice->request("set_cloud_drive?dropbox&x"),
                 QByteArray("Error: there is one cloud drive configuring at this moment\n"));
        QCOMPARE(alice->request("cancel_set_cloud_drive"), QByteArray("Error: No process to cancel\n"));
        QCOMPARE(alice->request("cancel_set_cloud_drive"), nonePending);
        QCOMPARE(alice->request("set_cloud_drive?googledrive&y"), onlyLinux);
        QCOMPARE(alice->request("finish_set_cloud_drive?st8SecretCode"),
                 QByteArray("Error: The process of creating account didn't start.\n"));
        QCOMPARE(alice->request("finish_set_cloud_drive?st8SecretCode"), nonePending);
        // The code is a credential of the user's cloud account.
        QVERIFY(server.standardError().contains("finish_set_cloud_drive?"));
        QVERIFY(!server.standardError().contains("st8SecretCode"));

        // The slot belongs to its connection.
        QCOMPARE(alice->request("set_cloud_drive?dropbox&x"), onlyLinux);
        QCOMPARE(loginAs("alice")->request("finish_set_cloud_drive?code"), nonePending);
        QCOMPARE(alice->request("cancel_set_cloud_drive"), QByteArray("Error: No process to cancel\n"));
    }

    // The profiles server gets the login with its token, the request as received, then "quit"; or
    // the request fails here.
    void forwarding_data() { addRowsFrom("storage.rows"); }

    void forwarding()
    {
        const QString user = field("user"), remoteReply = field("remoteReply");
        fake.clearCalls();
        remote.clear();
        const QList<QByteArray> requests = field("request").toUtf8().split('|');
        remote.answer("login?", remoteReply.isEmpty() ? "Error: Bad authentication\n" : "Authentication ok.\n");
        remote.answer(requests.last(), remoteReply.toUtf8());
        const std::unique_ptr<TestClient> client = loginAs(user.toUtf8());
        QVERIFY(client);
        if (requests.size() > 1)
            QCOMPARE(client->request(requests.first()), onlyLinux);
        QCOMPARE(client->request(requests.last()), field("reply").toUtf8());
        const QByteArray login = "login?st8_remote&&" + remoteToken + "\n";
        const QList<QByteArray> expected = user != "st8_remote" ? QList<QByteArray>()
                                           : !field("delivered").isEmpty() ? QList<QByteArray>{login, requests.last(), "quit\n"}
                                                                  : QList<QByteArray>{login, "quit\n"};
        QVERIFY(remote.waitForMessages(expected.size()));
        QCOMPARE(remote.messages(), expected);
        QVERIFY(fake.calls().isEmpty());
        QVERIFY(!server.standardError().contains(remoteToken));
        // PeerTls is "preferred": a peer without a TLS port is spoken to in plain text, said once.
        QCOMPARE(server.logContents().count("Info: 127.8.8.31 has no TLS port (4446): connections to it are in plain text"), 1);
    }

    // A profiles server registered without a port number is reached on the default port.
    void portNotANumberMeans4445()
    {
        FakePeer defaultPortPeer("127.8.8.3", 4445);
        if (defaultPortPeer.port() == 0)
            QSKIP("port 4445 of the loopback network is taken on this machine");
        defaultPortPeer.answer("get_cloud_drives", "z\n");
        QCOMPARE(loginAs("st8_noport")->request("get_cloud_drives?dropbox"), QByteArray("z\n"));
        QVERIFY(defaultPortPeer.waitForMessages(3));
        QCOMPARE(defaultPortPeer.messages().first(), "login?st8_noport&&" + remoteToken + "\n");
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
