// Cloud drives seen by a client of the real server: runs of the cloud-drive program (a fake that
// records its arguments, installed only where none exists), the per-connection configuration
// slot, and forwarding to a user's profiles server on another machine.
#include "fakepeer.h"
#include "testclient.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QString programPath = QStringLiteral("/usr/bin/managecloud");
const QByteArray serverToken = "st8CloudToken" + QByteArray::number(QRandomGenerator::global()->generate());
const QByteArray remoteToken = "st8RemoteToken" + QByteArray::number(QRandomGenerator::global()->generate());
// Loopback addresses other than 127.0.0.1 are not this machine's own, so a profiles server
// registered there is another machine.
const char remoteAddress[] = "127.8.8.31";
const char defaultPortAddress[] = "127.8.8.33";
const QByteArray fakeMarker = "# ambrix test fake of the cloud-drive program";

// Records "arg|arg|...|" per run; behaves as the files named PROVIDER-ACTION.* in its control
// directory say: .out is printed, .exit is the exit code, .signal makes it kill itself.
QByteArray fakeScript(const QString &controlDir)
{
    return "#!/bin/sh\n" + fakeMarker + "\n"
           "dir='" + controlDir.toUtf8() + "'\n"
           "printf '%s|' \"$@\" >> \"$dir/calls\"\n"
           "printf '\\n' >> \"$dir/calls\"\n"
           "key=\"$2-$3\"\n"
           "[ -f \"$dir/$key.signal\" ] && kill -9 $$\n"
           "[ -f \"$dir/$key.out\" ] && cat \"$dir/$key.out\"\n"
           "[ -f \"$dir/$key.exit\" ] && exit \"$(cat \"$dir/$key.exit\")\"\n"
           "exit 0\n";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The fake program, present only while this test owns the path.
class FakeCloudProgram
{
public:
    ~FakeCloudProgram() { remove(); }

    bool isInstalled() const { return installed; }

    // False when a program of someone else is there: it is left alone.
    bool install(const QString &controlDir)
    {
        if (QFileInfo::exists(programPath))
            return installed;
        QFile file(programPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(fakeScript(controlDir)) < 0)
            return false;
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        installed = true;
        return true;
    }

    void remove()
    {
        if (installed && readFile(programPath).contains(fakeMarker))
            QFile::remove(programPath);
        installed = false;
    }

private:
    bool installed = false;
};

} // namespace

class CloudDrivesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void missingProgram();
    void programRuns_data();
    void programRuns();
    void configurationSlot();
    void forwarding_data();
    void forwarding();
    void forwardingFailures_data();
    void forwardingFailures();
    void portNotANumberMeans4445();

private:
    std::unique_ptr<TestClient> loginAs(const QByteArray &user);
    void removeFixtures();
    bool programRan() const { return QFile::exists(control.filePath("calls")); }

    QTemporaryDir control;
    FakeCloudProgram fake;
    bool foreignProgram = false;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> alice; // her profiles server is this machine (127.0.0.1)
    TestDatabase database;
    FakePeer remote{remoteAddress};
};

void CloudDrivesTest::initTestCase()
{
    QVERIFY(control.isValid());
    foreignProgram = QFileInfo::exists(programPath);
    if (!foreignProgram)
        QVERIFY(fake.install(control.path()));
    QVERIFY(remote.port() != 0);
    QVERIFY2(database.lastError().isEmpty(), qPrintable(database.lastError()));
    removeFixtures();
    QVERIFY2(database.exec(QStringLiteral(
                 "INSERT INTO ax_server (id, name, address, port, token) VALUES"
                 " (80901, 'st8-remote', '%1', %2, '%3'), (80902, 'st8-unreachable', '127.8.8.32', %4, NULL),"
                 " (80903, 'st8-noport', '%5', NULL, '%3')")
                                   .arg(remoteAddress).arg(remote.port()).arg(QString::fromLatin1(remoteToken))
                                   .arg(TestServer::freePort()).arg(defaultPortAddress)),
             qPrintable(database.lastError()));
    QVERIFY2(database.exec("INSERT INTO ax_usergroup (id, name, profile_server_id) VALUES"
                           " (80901, 'st8 remote', 80901), (80902, 'st8 unreachable', 80902),"
                           " (80903, 'st8 noport', 80903), (80904, 'st8 lost', 80999)"),
             qPrintable(database.lastError()));
    QVERIFY2(database.exec("INSERT INTO ax_usergroup_users (id, usergroup_id, user_id) VALUES"
                           " (80901, 80901, 'st8_remote'), (80902, 80902, 'st8_unreachable'),"
                           " (80903, 80903, 'st8_noport'), (80904, 80904, 'st8_lost')"),
             qPrintable(database.lastError()));
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
    QVERIFY(server->start());
    alice = loginAs("alice");
    QVERIFY(alice);
}

void CloudDrivesTest::removeFixtures()
{
    for (const char *table : {"ax_server", "ax_usergroup", "ax_usergroup_users"})
        database.exec(QStringLiteral("DELETE FROM %1 WHERE id BETWEEN 80901 AND 80999").arg(table));
}

void CloudDrivesTest::cleanupTestCase()
{
    fake.remove();
    removeFixtures();
    alice.reset();
    if (server) {
        server->interrupt();
        QVERIFY(server->waitForExit());
    }
}

// Any user name logs in with this server's token.
std::unique_ptr<TestClient> CloudDrivesTest::loginAs(const QByteArray &user)
{
    auto client = std::make_unique<TestClient>(server->port());
    if (client->request("login?" + user + "&&" + serverToken) != "Authentication ok.\n")
        return nullptr;
    return client;
}

void CloudDrivesTest::missingProgram()
{
    if (foreignProgram)
        QSKIP("a cloud-drive program is installed on this machine");
    fake.remove();
    const auto reinstall = qScopeGuard([&] { fake.install(control.path()); });
    QCOMPARE(alice->request("get_cloud_drives?dropbox"), QByteArray(" \n"));
    const QByteArray notInstalled = "Error: ambrix-cloudfs not installed on this system\n";
    QCOMPARE(alice->request("mount_cloud_drive?dropbox&x"), notInstalled);
    QCOMPARE(alice->request("mount_cloud_drives"), notInstalled);
    QCOMPARE(alice->request("umount_cloud_drives"), notInstalled);
    QCOMPARE(alice->request("remove_cloud_drive?dropbox&x"), notInstalled);
}

void CloudDrivesTest::programRuns_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("behaviour"); // control files, "name=content"
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("calls");
    QTest::newRow("list output answered unchanged")
        << QByteArray("get_cloud_drives?dropbox") << QStringList{"dropbox-list.out=a,b\n"}
        << QByteArray("a,b\n\n") << QByteArray("alice|dropbox|list|\n");
    QTest::newRow("blank list") << QByteArray("get_cloud_drives?googledrive")
                                << QStringList{"googledrive-list.out= \n"} << QByteArray(" \n")
                                << QByteArray("alice|googledrive|list|\n");
    QTest::newRow("mount") << QByteArray("mount_cloud_drive?dropbox&X") << QStringList{} << QByteArray("Ok\n")
                           << QByteArray("alice|dropbox|mount|X|\n");
    QTest::newRow("mount fails") << QByteArray("mount_cloud_drive?dropbox&X") << QStringList{"dropbox-mount.exit=3"}
                                 << QByteArray("Error: something failed mounting cloud drive for alice\n")
                                 << QByteArray("alice|dropbox|mount|X|\n");
    QTest::newRow("mount killed") << QByteArray("mount_cloud_drive?dropbox&X") << QStringList{"dropbox-mount.signal="}
                                  << QByteArray("Error: something failed mounting cloud drive for alice\n")
                                  << QByteArray("alice|dropbox|mount|X|\n");
    QTest::newRow("option-like provider never reaches the program")
        << QByteArray("mount_cloud_drive?--help&X") << QStringList{}
        << QByteArray("Error: something failed mounting cloud drive for alice\n") << QByteArray();
    QTest::newRow("mount all, first provider fails")
        << QByteArray("mount_cloud_drives") << QStringList{"dropbox-start.exit=1"}
        << QByteArray("Error: something failed mounting cloud for user alice\n")
        << QByteArray("alice|dropbox|start|\nalice|googledrive|start|\n");
    QTest::newRow("unmount all, last provider fails")
        << QByteArray("umount_cloud_drives") << QStringList{"googledrive-stop.exit=2"}
        << QByteArray("Error: something failed umounting cloud for alice\n")
        << QByteArray("alice|dropbox|stop|\nalice|googledrive|stop|\n");
    QTest::newRow("remove") << QByteArray("remove_cloud_drive?googledrive&acct") << QStringList{}
                            << QByteArray("Ok\n") << QByteArray("alice|googledrive|unconfigure|acct|\n");
    QTest::newRow("remove fails") << QByteArray("remove_cloud_drive?googledrive&acct")
                                  << QStringList{"googledrive-unconfigure.exit=1"}
                                  << QByteArray("Error: something happened removing cloud drive account\n")
                                  << QByteArray("alice|googledrive|unconfigure|acct|\n");
}

void CloudDrivesTest::programRuns()
{
    if (!fake.isInstalled())
        QSKIP("a cloud-drive program of someone else is installed on this machine");
    QFETCH(QByteArray, request);
    QFETCH(QStringList, behaviour);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, calls);
    QDir dir(control.path());
    for (const QString &name : dir.entryList(QDir::Files))
        QVERIFY(dir.remove(name));
    for (const QString &entry : behaviour) {
        QFile file(dir.filePath(entry.section('=', 0, 0)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(entry.section('=', 1).toUtf8());
    }
    QCOMPARE(alice->request(request, 40000), reply);
    QCOMPARE(readFile(dir.filePath("calls")), calls);
}

void CloudDrivesTest::configurationSlot()
{
    const QByteArray onlyLinux = "Error: currently only linux supported for cloud drives\n";
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
    QVERIFY(server->standardError().contains("finish_set_cloud_drive?"));
    QVERIFY(!server->standardError().contains("st8SecretCode"));

    // The slot belongs to its connection.
    QCOMPARE(alice->request("set_cloud_drive?dropbox&x"), onlyLinux);
    const std::unique_ptr<TestClient> fresh = loginAs("alice");
    QVERIFY(fresh);
    QCOMPARE(fresh->request("finish_set_cloud_drive?code"), nonePending);
    QCOMPARE(alice->request("cancel_set_cloud_drive"), QByteArray("Error: No process to cancel\n"));
}

void CloudDrivesTest::forwarding_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("remoteReply");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("forwarded");
    QTest::newRow("list") << QByteArray("get_cloud_drives?dropbox") << QByteArray("x,y\n") << QByteArray("x,y\n")
                          << QByteArray("get_cloud_drives?dropbox");
    QTest::newRow("remote blank list is empty") << QByteArray("get_cloud_drives?dropbox") << QByteArray(" ")
                                                << QByteArray("\n") << QByteArray("get_cloud_drives?dropbox");
    QTest::newRow("remote error unchanged")
        << QByteArray("mount_cloud_drive?dropbox&X")
        << QByteArray("Error: something failed mounting cloud drive for st8_remote\n")
        << QByteArray("Error: something failed mounting cloud drive for st8_remote\n")
        << QByteArray("mount_cloud_drive?dropbox&X");
    QTest::newRow("mount all") << QByteArray("mount_cloud_drives") << QByteArray("Ok\n") << QByteArray("Ok\n")
                               << QByteArray("mount_cloud_drives");
    QTest::newRow("finish a configuration") << QByteArray("set_cloud_drive?dropbox&x|finish_set_cloud_drive?abc")
                                            << QByteArray("Ok.\n") << QByteArray("Ok.\n")
                                            << QByteArray("finish_set_cloud_drive?abc");
    QTest::newRow("cancel a configuration") << QByteArray("set_cloud_drive?dropbox&x|cancel_set_cloud_drive")
                                            << QByteArray("Error: No process to cancel\n")
                                            << QByteArray("Error: No process to cancel\n")
                                            << QByteArray("cancel_set_cloud_drive");
}

// The profiles server gets the login with its token, the request as received, then "quit".
void CloudDrivesTest::forwarding()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, remoteReply);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, forwarded);
    QFile::remove(control.filePath("calls"));
    remote.clear();
    remote.answer("login?", "Authentication ok.\n");
    remote.answer(forwarded, remoteReply);
    const std::unique_ptr<TestClient> client = loginAs("st8_remote");
    QVERIFY(client);
    const QList<QByteArray> requests = request.split('|');
    // A configuration is set up here; only its finish or cancel goes to the profiles server.
    if (requests.size() > 1)
        QCOMPARE(client->request(requests.first()),
                 QByteArray("Error: currently only linux supported for cloud drives\n"));
    QCOMPARE(client->request(requests.last()), reply);
    QVERIFY(remote.waitForMessages(3));
    QCOMPARE(remote.messages(), (QList<QByteArray>{"login?st8_remote&&" + remoteToken + "\n", forwarded, "quit\n"}));
    QVERIFY(!programRan());
    QVERIFY(!server->standardError().contains(remoteToken));
}

void CloudDrivesTest::forwardingFailures_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("loginReply");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<QByteArray>>("received");
    const QByteArray cannotConnect = "Error: cannot connect to profiles server.\n";
    QTest::newRow("login refused") << QByteArray("st8_remote") << QByteArray("Error: Bad authentication\n")
                                   << cannotConnect
                                   << QList<QByteArray>{"login?st8_remote&&" + remoteToken + "\n", "quit\n"};
    QTest::newRow("unreachable") << QByteArray("st8_unreachable") << QByteArray() << cannotConnect
                                 << QList<QByteArray>{};
    QTest::newRow("server row missing") << QByteArray("st8_lost") << QByteArray()
                                        << QByteArray("Error: cannot find profiles server.\n") << QList<QByteArray>{};
}

void CloudDrivesTest::forwardingFailures()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, loginReply);
    QFETCH(QByteArray, reply);
    QFETCH(QList<QByteArray>, received);
    QFile::remove(control.filePath("calls"));
    remote.clear();
    remote.answer("login?", loginReply);
    const std::unique_ptr<TestClient> client = loginAs(user);
    QVERIFY(client);
    QCOMPARE(client->request("mount_cloud_drives"), reply);
    QVERIFY(remote.waitForMessages(received.size()));
    QCOMPARE(remote.messages(), received);
    QVERIFY(!programRan());
}

// A profiles server registered without a port number is reached on the default port.
void CloudDrivesTest::portNotANumberMeans4445()
{
    FakePeer defaultPortPeer(defaultPortAddress, 4445);
    if (defaultPortPeer.port() == 0)
        QSKIP("port 4445 of the loopback network is taken on this machine");
    defaultPortPeer.answer("get_cloud_drives", "z\n");
    const std::unique_ptr<TestClient> client = loginAs("st8_noport");
    QVERIFY(client);
    QCOMPARE(client->request("get_profiles_server"), QByteArray("127.8.8.33:\n"));
    QCOMPARE(client->request("get_cloud_drives?dropbox"), QByteArray("z\n"));
    QVERIFY(defaultPortPeer.waitForMessages(3));
    QCOMPARE(defaultPortPeer.messages().first(), "login?st8_noport&&" + remoteToken + "\n");
}

QTEST_GUILESS_MAIN(CloudDrivesTest)
#include "tst_clouddrives.moc"
