// Cloud drives seen by a client of the real server: runs of the cloud-drive program (a fake that
// records its arguments, installed only where none exists), the per-connection configuration
// slot, and forwarding to a user's profiles server on another machine.
#include "sampledata.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QString programPath = QStringLiteral("/usr/bin/managecloud");
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

private:
    std::unique_ptr<TestClient> loginAlice();

    QTemporaryDir control;
    FakeCloudProgram fake;
    bool foreignProgram = false;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> alice; // her profiles server is this machine (127.0.0.1)
};

void CloudDrivesTest::initTestCase()
{
    QVERIFY(control.isValid());
    foreignProgram = QFileInfo::exists(programPath);
    if (!foreignProgram)
        QVERIFY(fake.install(control.path()));
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    alice = loginAlice();
    QVERIFY(alice);
}

void CloudDrivesTest::cleanupTestCase()
{
    fake.remove();
    alice.reset();
    if (server) {
        server->interrupt();
        QVERIFY(server->waitForExit());
    }
}

std::unique_ptr<TestClient> CloudDrivesTest::loginAlice()
{
    auto client = std::make_unique<TestClient>(server->port());
    if (client->request(QByteArray("login?alice&&") + SampleData::AliceToken) != "Authentication ok.\n")
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
    QTest::newRow("mount, empty extra argument kept")
        << QByteArray("mount_cloud_drive?dropbox&") << QStringList{} << QByteArray("Ok\n")
        << QByteArray("alice|dropbox|mount||\n");
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
    QTest::newRow("unmount all") << QByteArray("umount_cloud_drives") << QStringList{} << QByteArray("Ok\n")
                                 << QByteArray("alice|dropbox|stop|\nalice|googledrive|stop|\n");
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
    const std::unique_ptr<TestClient> fresh = loginAlice();
    QVERIFY(fresh);
    QCOMPARE(fresh->request("finish_set_cloud_drive?code"), nonePending);
    QCOMPARE(alice->request("cancel_set_cloud_drive"), QByteArray("Error: No process to cancel\n"));
}

QTEST_GUILESS_MAIN(CloudDrivesTest)
#include "tst_clouddrives.moc"
