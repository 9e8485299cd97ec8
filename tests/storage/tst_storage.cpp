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

    void answers_data()
    {
        // Redirections are those of the user named in the request, not of the one logged in; only
        // a client with a server row (127.8.8.21) gets the server's rules.
        const QString any = "127.8.8.22";
        addRows({"user", "source", "request", "reply"}, {
            {"first group naming a server wins", "st8_first", any, "get_profiles_server", "127.8.8.1:4601\n"},
            // The sample parameters name server 1; -1 names none.
            {"groups name none", "st8_fallback", any, "get_profiles_server", "127.0.0.1:4445\n"},
            {"port not a number", "st8_noport", any, "get_profiles_server", "127.8.8.3:\n"},
            {"server row missing", "st8_missing", any, "get_profiles_server", "\n"},
            {"quote in the user name", "st8_o'quote", any, "get_profiles_server", "127.8.8.2:4602\n"},
            {"registered client: server rules first", "st8_x", "127.8.8.21", "get_redirect_drives?st8_redir",
             "/srv/st8/s1=S:,/srv/st8/s2=T:,/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n"},
            {"unregistered client: user and group rules", "st8_x", any, "get_redirect_drives?st8_redir",
             "/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n"},
            {"redirections, quote in the user name", "st8_x", any, "get_redirect_drives?st8_o'quote", "/srv/st8/q=Q:\n"}});
    }

    void answers()
    {
        QFETCH(QString, user);
        QFETCH(QString, source);
        QFETCH(QString, request);
        QFETCH(QString, reply);
        const std::unique_ptr<TestClient> client = loginAs(user.toUtf8(), qPrintable(source));
        QVERIFY(client);
        QCOMPARE(client->request(request.toUtf8()), reply.toUtf8());
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

    // The program's runs as "user|provider|action|value", and what makes it fail: control files
    // "name=content" (";" between), or "missing" for no program.
    void programRuns_data()
    {
        const QString mountFailed = "Error: something failed mounting cloud drive for alice\n";
        const QString notInstalled = "Error: ambrix-cloudfs not installed on this system\n";
        addRows({"request", "behaviour", "reply", "calls"}, {
            {"list output answered unchanged", "get_cloud_drives?dropbox", "dropbox-list.out=a,b\n", "a,b\n\n",
             "alice|dropbox|list"},
            {"blank list", "get_cloud_drives?googledrive", "googledrive-list.out= \n", " \n", "alice|googledrive|list"},
            {"mount", "mount_cloud_drive?dropbox&X", "", "Ok\n", "alice|dropbox|mount|X"},
            {"mount killed", "mount_cloud_drive?dropbox&X", "dropbox-mount.signal=", mountFailed, "alice|dropbox|mount|X"},
            {"option-like provider never reaches the program", "mount_cloud_drive?--help&X", "", mountFailed, ""},
            {"mount all, first provider fails", "mount_cloud_drives", "dropbox-start.exit=1",
             "Error: something failed mounting cloud for user alice\n", "alice|dropbox|start;alice|googledrive|start"},
            {"unmount all, last provider fails", "umount_cloud_drives", "googledrive-stop.exit=2",
             "Error: something failed umounting cloud for alice\n", "alice|dropbox|stop;alice|googledrive|stop"},
            {"remove fails", "remove_cloud_drive?googledrive&acct", "googledrive-unconfigure.exit=1",
             "Error: something happened removing cloud drive account\n", "alice|googledrive|unconfigure|acct"},
            {"missing program, list", "get_cloud_drives?dropbox", "missing", " \n", ""},
            {"missing program, mount", "mount_cloud_drives", "missing", notInstalled, ""},
            {"missing program, remove", "remove_cloud_drive?dropbox&x", "missing", notInstalled, ""}});
    }

    void programRuns()
    {
        if (foreignProgram)
            QSKIP("a cloud-drive program of someone else is installed on this machine");
        QFETCH(QString, request);
        QFETCH(QString, behaviour);
        QFETCH(QString, reply);
        QFETCH(QString, calls);
        QDir dir(fake.directory());
        for (const QString &name : dir.entryList(QDir::Files))
            QVERIFY(dir.remove(name));
        for (const QString &entry : behaviour.split(';', Qt::SkipEmptyParts))
            QVERIFY(writeFile(dir.filePath(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8()));
        if (behaviour == "missing")
            fake.remove();
        const auto reinstall = qScopeGuard([&] { fake.install(); });
        QCOMPARE(alice->request(request.toUtf8(), 40000), reply.toUtf8());
        QCOMPARE(fake.calls(), calls.split(';', Qt::SkipEmptyParts));
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
    // or the request fails here. A request after "|" follows a configuration set up here: only its
    // finish or cancel goes to the profiles server. No remote reply: the login is refused.
    void forwarding_data()
    {
        const QString mountError = "Error: something failed mounting cloud drive for st8_remote\n";
        const QString notConnected = "Error: cannot connect to profiles server.\n";
        const QString noProcess = "Error: No process to cancel\n";
        addRows({"user", "request", "remoteReply", "reply", "delivered"}, {
            {"remote blank list is empty", "st8_remote", "get_cloud_drives?dropbox", " ", "\n", "yes"},
            {"remote error unchanged", "st8_remote", "mount_cloud_drive?dropbox&X", mountError, mountError, "yes"},
            {"finish a configuration", "st8_remote", "set_cloud_drive?dropbox&x|finish_set_cloud_drive?abc", "Ok.\n", "Ok.\n", "yes"},
            {"cancel a configuration", "st8_remote", "set_cloud_drive?dropbox&x|cancel_set_cloud_drive", noProcess, noProcess, "yes"},
            {"login refused", "st8_remote", "mount_cloud_drives", "", notConnected, ""},
            {"unreachable", "st8_unreachable", "mount_cloud_drives", "", notConnected, ""},
            {"server row missing", "st8_lost", "mount_cloud_drives", "", "Error: cannot find profiles server.\n", ""}});
    }

    void forwarding()
    {
        QFETCH(QString, user);
        QFETCH(QString, request);
        QFETCH(QString, remoteReply);
        QFETCH(QString, reply);
        QFETCH(QString, delivered);
        fake.clearCalls();
        remote.clear();
        const QList<QByteArray> requests = request.toUtf8().split('|');
        remote.answer("login?", remoteReply.isEmpty() ? "Error: Bad authentication\n" : "Authentication ok.\n");
        remote.answer(requests.last(), remoteReply.toUtf8());
        const std::unique_ptr<TestClient> client = loginAs(user.toUtf8());
        QVERIFY(client);
        if (requests.size() > 1)
            QCOMPARE(client->request(requests.first()), onlyLinux);
        QCOMPARE(client->request(requests.last()), reply.toUtf8());
        const QByteArray login = "login?st8_remote&&" + remoteToken + "\n";
        const QList<QByteArray> expected = user != "st8_remote" ? QList<QByteArray>()
                                           : !delivered.isEmpty() ? QList<QByteArray>{login, requests.last(), "quit\n"}
                                                                  : QList<QByteArray>{login, "quit\n"};
        QVERIFY(remote.waitForMessages(expected.size()));
        QCOMPARE(remote.messages(), expected);
        QVERIFY(fake.calls().isEmpty());
        QVERIFY(!server.standardError().contains(remoteToken));
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
