// A user's storage seen by a client of the real server, with fixture rows in the real database:
// the profiles server (from the user's groups, then the platform parameters), the profile path and
// the drive redirections; cloud drives through runs of the cloud-drive program (a fake installed
// only where none exists), the per-connection configuration slot, and forwarding to a user's
// profiles server on another machine.
#include "fakepeer.h"
#include "fakeprogram.h"
#include "testdatabase.h"
#include "testfiles.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray serverToken = "st8Token" + QByteArray::number(QRandomGenerator::global()->generate());
const QByteArray remoteToken = "st8RemoteToken" + QByteArray::number(QRandomGenerator::global()->generate());
// Loopback addresses other than 127.0.0.1 are not this machine's own, so a profiles server
// registered there is another machine.
const char remoteAddress[] = "127.8.8.31";
const char noPortAddress[] = "127.8.8.3";
const QByteArray onlyLinux = "Error: currently only linux supported for cloud drives\n";

// Fixture ids 80801-80999 in every table, user names starting "st8_".
const QStringList fixtureTables = {"ax_server", "ax_usergroup", "ax_usergroup_users", "ax_storageredirection",
                                   "ax_userstorageredirection", "ax_groupstorageredirection"};

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestClient> loginAs(const QByteArray &user) { return server.login(user, serverToken); }
    QByteArray requestAs(const QByteArray &user, const QByteArray &request, const char *source = nullptr)
    {
        const std::unique_ptr<TestClient> client = server.login(user, serverToken, source);
        return client ? client->request(request) : QByteArray("login failed");
    }

    // Runs as the files named PROVIDER-ACTION.* in $d say: .out is printed, .exit is the exit code,
    // .signal makes it kill itself.
    FakeProgram fake{QStringLiteral("/usr/bin/managecloud"),
                     "key=\"$2-$3\"\n[ -f \"$d/$key.signal\" ] && kill -9 $$\n"
                     "[ -f \"$d/$key.out\" ] && cat \"$d/$key.out\"\n"
                     "[ -f \"$d/$key.exit\" ] && exit \"$(cat \"$d/$key.exit\")\"\nexit 0\n"};
    bool foreignProgram = QFileInfo::exists(fake.path());
    TestServer server;
    std::unique_ptr<TestClient> alice; // her profiles server is this machine (127.0.0.1)
    TestDatabase database;
    FakePeer remote{remoteAddress};

private slots:
    void initTestCase()
    {
        QVERIFY(foreignProgram || fake.install());
        QVERIFY(remote.port() != 0);
        database.removeRows(fixtureTables, 80801, 80999);
        QVERIFY2(database.execAll({
            QStringLiteral("INSERT INTO ax_server (id, name, address, port, token) VALUES"
                           " (80801, 'st8-a', '127.8.8.1', 4601, NULL), (80802, 'st8-b', '127.8.8.2', 4602, NULL),"
                           " (80803, 'st8-noport', '%1', NULL, '%2'), (80821, 'st8-redirect', '127.8.8.21', 4445, NULL),"
                           " (80901, 'st8-remote', '%3', %4, '%2'), (80902, 'st8-unreachable', '127.8.8.32', %5, NULL)")
                .arg(noPortAddress, QString::fromLatin1(remoteToken), remoteAddress).arg(remote.port()).arg(TestServer::freePort()),
            "INSERT INTO ax_usergroup (id, name, profile_server_id) VALUES"
            " (80801, 'st8 none', NULL), (80802, 'st8 a', 80801), (80803, 'st8 b', 80802),"
            " (80804, 'st8 noport', 80803), (80805, 'st8 missing', 80899), (80821, 'st8 r1', NULL), (80822, 'st8 r2', NULL),"
            " (80901, 'st8 remote', 80901), (80902, 'st8 unreachable', 80902), (80904, 'st8 lost', 80999)",
            // st8_first: a group without server, then one naming server a, then one naming server b.
            "INSERT INTO ax_usergroup_users (id, usergroup_id, user_id) VALUES"
            " (80801, 80801, 'st8_first'), (80802, 80802, 'st8_first'), (80803, 80803, 'st8_first'),"
            " (80804, 80801, 'st8_fallback'), (80805, 80804, 'st8_noport'), (80806, 80805, 'st8_missing'),"
            " (80807, 80803, 'st8_o''quote'), (80821, 80821, 'st8_redir'), (80822, 80822, 'st8_redir'),"
            " (80901, 80901, 'st8_remote'), (80902, 80902, 'st8_unreachable'), (80904, 80904, 'st8_lost')",
            "INSERT INTO ax_storageredirection (id, server_id, server_path, client_path) VALUES"
            " (80821, 80821, '/srv/st8/s1', 'S:'), (80822, 80821, '/srv/st8/s2', 'T:')",
            "INSERT INTO ax_userstorageredirection (id, user_id, server_path, client_path) VALUES"
            " (80821, 'st8_redir', '/srv/st8/u', 'U:'), (80822, 'st8_o''quote', '/srv/st8/q', 'Q:')",
            // Both groups of st8_redir share one rule.
            "INSERT INTO ax_groupstorageredirection (id, group_id, server_path, client_path) VALUES"
            " (80821, 80821, '/srv/st8/common', 'C:'), (80822, 80822, '/srv/st8/common', 'C:')"}),
                 qPrintable(database.lastError()));
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        QVERIFY(server.start());
        QVERIFY(alice = loginAs("alice"));
    }

    void cleanupTestCase() { database.removeRows(fixtureTables, 80801, 80999); }

    void location_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("first group naming a server wins") << QByteArray("st8_first") << QByteArray("127.8.8.1:4601\n");
        // The sample parameters name server 1.
        QTest::newRow("groups name none") << QByteArray("st8_fallback") << QByteArray("127.0.0.1:4445\n");
        QTest::newRow("port not a number") << QByteArray("st8_noport") << QByteArray("127.8.8.3:\n");
        QTest::newRow("server row missing") << QByteArray("st8_missing") << QByteArray("\n");
        QTest::newRow("quote in the user name") << QByteArray("st8_o'quote") << QByteArray("127.8.8.2:4602\n");
    }

    void location()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, reply);
        QCOMPARE(requestAs(user, "get_profiles_server"), reply);
    }

    // Changes the shared "ax_parameters" rows for a moment and puts them back, even on failure.
    void withoutPlatformParameters()
    {
        const QList<QStringList> saved = database.rows("SELECT id, profile_server_id, profile_path FROM ax_parameters");
        const auto restore = qScopeGuard([&] {
            database.removeRows({"ax_parameters"}, 80801, 80899);
            const auto sqlValue = [](const QString &v) { return v.isNull() ? QStringLiteral("NULL") : "'" + v + "'"; };
            for (const QStringList &row : saved) {
                database.exec(QStringLiteral("UPDATE ax_parameters SET profile_server_id=%1, profile_path=%2 WHERE id=%3")
                                  .arg(sqlValue(row[1]), sqlValue(row[2]), row[0]));
            }
        });
        QVERIFY(database.execAll({"UPDATE ax_parameters SET profile_server_id=NULL, profile_path=''",
                                  "INSERT INTO ax_parameters (id, profile_server_id, profile_path) VALUES (80801, -1, NULL),"
                                  " (80802, NULL, '/srv/st8/profiles'), (80803, NULL, '/srv/st8/later')"}));
        QCOMPARE(requestAs("st8_nogroup", "get_profiles_server"), QByteArray("\n"));
        QCOMPARE(requestAs("st8_fallback", "get_profiles_server"), QByteArray("\n"));
        QCOMPARE(requestAs("st8_first", "get_profiles_server"), QByteArray("127.8.8.1:4601\n"));
        // Empty and missing paths are skipped.
        QCOMPARE(requestAs("st8_nogroup", "get_profiles_path"), QByteArray("/srv/st8/profiles\n"));
    }

    void redirections_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("registered client: server rules first") << QByteArray("127.8.8.21") << QByteArray("st8_redir")
            << QByteArray("/srv/st8/s1=S:,/srv/st8/s2=T:,/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n");
        QTest::newRow("unregistered client: user and group rules") << QByteArray("127.8.8.22") << QByteArray("st8_redir")
            << QByteArray("/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n");
        QTest::newRow("quote in the user name") << QByteArray("127.8.8.22") << QByteArray("st8_o'quote")
                                                << QByteArray("/srv/st8/q=Q:\n");
        QTest::newRow("no rules") << QByteArray("127.8.8.22") << QByteArray("st8_nobody") << QByteArray("\n");
    }

    void redirections()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, reply);
        // The rules are those of the user named in the request, not of the one logged in.
        QCOMPARE(requestAs("st8_someone", "get_redirect_drives?" + user, source.constData()), reply);
    }

    void missingProgram()
    {
        if (foreignProgram)
            QSKIP("a cloud-drive program is installed on this machine");
        fake.remove();
        const auto reinstall = qScopeGuard([&] { fake.install(); });
        QCOMPARE(alice->request("get_cloud_drives?dropbox"), QByteArray(" \n"));
        const QByteArray notInstalled = "Error: ambrix-cloudfs not installed on this system\n";
        for (const char *request : {"mount_cloud_drive?dropbox&x", "mount_cloud_drives", "umount_cloud_drives",
                                    "remove_cloud_drive?dropbox&x"})
            QCOMPARE(alice->request(request), notInstalled);
    }

    void programRuns_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("behaviour"); // control files, "name=content"
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("calls");
        const QByteArray mountFailed = "Error: something failed mounting cloud drive for alice\n";
        QTest::newRow("list output answered unchanged") << QByteArray("get_cloud_drives?dropbox")
            << QStringList{"dropbox-list.out=a,b\n"} << QByteArray("a,b\n\n") << QStringList{"alice|dropbox|list"};
        QTest::newRow("blank list") << QByteArray("get_cloud_drives?googledrive") << QStringList{"googledrive-list.out= \n"}
                                    << QByteArray(" \n") << QStringList{"alice|googledrive|list"};
        QTest::newRow("mount") << QByteArray("mount_cloud_drive?dropbox&X") << QStringList() << QByteArray("Ok\n")
                               << QStringList{"alice|dropbox|mount|X"};
        QTest::newRow("mount killed") << QByteArray("mount_cloud_drive?dropbox&X") << QStringList{"dropbox-mount.signal="}
                                      << mountFailed << QStringList{"alice|dropbox|mount|X"};
        QTest::newRow("option-like provider never reaches the program")
            << QByteArray("mount_cloud_drive?--help&X") << QStringList() << mountFailed << QStringList();
        QTest::newRow("mount all, first provider fails") << QByteArray("mount_cloud_drives") << QStringList{"dropbox-start.exit=1"}
            << QByteArray("Error: something failed mounting cloud for user alice\n")
            << QStringList{"alice|dropbox|start", "alice|googledrive|start"};
        QTest::newRow("unmount all, last provider fails") << QByteArray("umount_cloud_drives") << QStringList{"googledrive-stop.exit=2"}
            << QByteArray("Error: something failed umounting cloud for alice\n")
            << QStringList{"alice|dropbox|stop", "alice|googledrive|stop"};
        QTest::newRow("remove") << QByteArray("remove_cloud_drive?googledrive&acct") << QStringList() << QByteArray("Ok\n")
                                << QStringList{"alice|googledrive|unconfigure|acct"};
        QTest::newRow("remove fails") << QByteArray("remove_cloud_drive?googledrive&acct")
            << QStringList{"googledrive-unconfigure.exit=1"}
            << QByteArray("Error: something happened removing cloud drive account\n")
            << QStringList{"alice|googledrive|unconfigure|acct"};
    }

    void programRuns()
    {
        if (foreignProgram)
            QSKIP("a cloud-drive program of someone else is installed on this machine");
        QFETCH(QByteArray, request);
        QFETCH(QStringList, behaviour);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, calls);
        QDir dir(fake.directory());
        for (const QString &name : dir.entryList(QDir::Files))
            QVERIFY(dir.remove(name));
        for (const QString &entry : behaviour)
            QVERIFY(writeFile(dir.filePath(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8()));
        QCOMPARE(alice->request(request, 40000), reply);
        QCOMPARE(fake.calls(), calls);
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

    // The profiles server gets the login with its token, the request as received, then "quit";
    // or the request fails here.
    void forwarding_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("remoteReply"); // to the login when null
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("delivered");
        const QByteArray remote = "st8_remote";
        const QByteArray mountError = "Error: something failed mounting cloud drive for st8_remote\n";
        const QByteArray notConnected = "Error: cannot connect to profiles server.\n";
        QTest::newRow("list") << remote << QByteArray("get_cloud_drives?dropbox") << QByteArray("x,y\n") << QByteArray("x,y\n") << true;
        QTest::newRow("remote blank list is empty") << remote << QByteArray("get_cloud_drives?dropbox") << QByteArray(" ")
                                                    << QByteArray("\n") << true;
        QTest::newRow("remote error unchanged") << remote << QByteArray("mount_cloud_drive?dropbox&X") << mountError
                                                << mountError << true;
        // A configuration is set up here; only its finish or cancel goes to the profiles server.
        QTest::newRow("finish a configuration") << remote << QByteArray("set_cloud_drive?dropbox&x|finish_set_cloud_drive?abc")
                                                << QByteArray("Ok.\n") << QByteArray("Ok.\n") << true;
        QTest::newRow("cancel a configuration") << remote << QByteArray("set_cloud_drive?dropbox&x|cancel_set_cloud_drive")
            << QByteArray("Error: No process to cancel\n") << QByteArray("Error: No process to cancel\n") << true;
        QTest::newRow("login refused") << remote << QByteArray("mount_cloud_drives") << QByteArray()
                                       << notConnected << false;
        QTest::newRow("unreachable") << QByteArray("st8_unreachable") << QByteArray("mount_cloud_drives") << QByteArray()
                                     << notConnected << false;
        QTest::newRow("server row missing") << QByteArray("st8_lost") << QByteArray("mount_cloud_drives") << QByteArray()
                                            << QByteArray("Error: cannot find profiles server.\n") << false;
    }

    void forwarding()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, remoteReply);
        QFETCH(QByteArray, reply);
        QFETCH(bool, delivered);
        fake.clearCalls();
        remote.clear();
        const QList<QByteArray> requests = request.split('|');
        remote.answer("login?", remoteReply.isNull() ? "Error: Bad authentication\n" : "Authentication ok.\n");
        remote.answer(requests.last(), remoteReply);
        const std::unique_ptr<TestClient> client = loginAs(user);
        QVERIFY(client);
        if (requests.size() > 1)
            QCOMPARE(client->request(requests.first()), onlyLinux);
        QCOMPARE(client->request(requests.last()), reply);
        const QByteArray login = "login?st8_remote&&" + remoteToken + "\n";
        const QList<QByteArray> expected = user != "st8_remote" ? QList<QByteArray>()
                                           : delivered ? QList<QByteArray>{login, requests.last(), "quit\n"}
                                                       : QList<QByteArray>{login, "quit\n"};
        QVERIFY(remote.waitForMessages(expected.size()));
        QCOMPARE(remote.messages(), expected);
        QVERIFY(fake.calls().isEmpty());
        QVERIFY(!server.standardError().contains(remoteToken));
    }

    // A profiles server registered without a port number is reached on the default port.
    void portNotANumberMeans4445()
    {
        FakePeer defaultPortPeer(noPortAddress, 4445);
        if (defaultPortPeer.port() == 0)
            QSKIP("port 4445 of the loopback network is taken on this machine");
        defaultPortPeer.answer("get_cloud_drives", "z\n");
        const std::unique_ptr<TestClient> client = loginAs("st8_noport");
        QVERIFY(client);
        QCOMPARE(client->request("get_cloud_drives?dropbox"), QByteArray("z\n"));
        QVERIFY(defaultPortPeer.waitForMessages(3));
        QCOMPARE(defaultPortPeer.messages().first(), "login?st8_noport&&" + remoteToken + "\n");
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
