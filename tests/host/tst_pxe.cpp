// PXE boot files under the fixed root "/var/lib/config", written and removed per client.
#include "sampledata.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QString Root = "/var/lib/config";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class PxeTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void missingRootIsNotCreated();
    void clientFilesAreWrittenAndRemoved();
    void pathsLeavingTheClientDirectoryAreRefused_data();
    void pathsLeavingTheClientDirectoryAreRefused();

private:
    QByteArray ask(const QString &request) { return client->request(request.toUtf8()); }
    // Unique per run, in upper case as consoles send them.
    QString mac(int n) const { return QStringLiteral("AX-%1-%2").arg(QCoreApplication::applicationPid()).arg(n); }

    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    bool createdRoot = false;
    QStringList outside;  // paths outside the root that a refused request might have made
};

void PxeTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request(QByteArray("login?alice&&") + SampleData::AliceToken),
             QByteArray("Authentication ok.\n"));
}

void PxeTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
    const QString prefix = QStringLiteral("ax-%1-").arg(QCoreApplication::applicationPid());
    const QStringList ours = QDir(Root).entryList({prefix + "*"}, QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &entry : ours)
        QDir(Root + "/" + entry).removeRecursively();
    for (const QString &path : qAsConst(outside))
        QFile::remove(path);
    if (createdRoot)
        QDir().rmdir(Root);
}

void PxeTest::missingRootIsNotCreated()
{
    if (QFileInfo::exists(Root))
        QSKIP("this machine has a PXE root");
    QCOMPARE(ask("set_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default&x"),
             QByteArray("Error: Cannot create dir " + mac(0).toLower().toUtf8() + " on /var/lib/config\n"));
    QVERIFY(!QFileInfo::exists(Root));
    // Nothing to remove where nothing exists.
    QCOMPARE(ask("remove_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
}

void PxeTest::clientFilesAreWrittenAndRemoved()
{
    if (!QFileInfo::exists(Root)) {
        QVERIFY(QDir().mkpath(Root));
        createdRoot = true;
    }
    const QString clientDirectory = Root + "/" + mac(1).toLower();
    const QString file = clientDirectory + "/pxelinux.cfg/default";
    QCOMPARE(ask("set_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/default&first version, long"), QByteArray("Ok\n"));
    QCOMPARE(readAll(file), QByteArray("first version, long"));
    // Lower case reaches the same client; the second write replaces the first.
    QCOMPARE(ask("set_pxe_config_file?" + mac(1).toLower() + "&/pxelinux.cfg/default&zweite Fassung \xc3\xa9"),
             QByteArray("Ok\n"));
    QCOMPARE(readAll(file), QByteArray("zweite Fassung \xc3\xa9"));
    QVERIFY(!QFileInfo::exists(Root + "/" + mac(1)));

    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/absent"), QByteArray("Ok\n"));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(2) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(QFileInfo(clientDirectory + "/pxelinux.cfg").isDir());

    // A directory in the file's place can be neither written nor removed.
    QVERIFY(QDir().mkpath(clientDirectory + "/boot/taken"));
    QCOMPARE(ask("set_pxe_config_file?" + mac(1) + "&/boot/taken&x"),
             QByteArray("Error: Cannot open file " + clientDirectory.toUtf8() + "/boot/taken for writing\n"));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/boot/taken"),
             QByteArray("Error: Cannot remove file /boot/taken (" + clientDirectory.toUtf8() + "/boot/taken)\n"));
}

void PxeTest::pathsLeavingTheClientDirectoryAreRefused_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("untouched");  // must be unchanged afterwards: absent, or a victim file
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QString client = mac(3).toLower();
    const QString parent = "/var/lib/ax-" + pid + "-escape";

    QTest::newRow("address with a slash") << "set_pxe_config_file?" + client + "/sub&/f&x"
        << "Error: Cannot create dir " + client + "/sub on /var/lib/config" << Root + "/" + client + "/sub";
    QTest::newRow("address climbing out") << "set_pxe_config_file?../AX-" + pid + "-escape&/f&x"
        << "Error: Cannot create dir ../ax-" + pid + "-escape on /var/lib/config" << parent;
    QTest::newRow("address is the parent") << "set_pxe_config_file?..&/ax-" + pid + "-escape&x"
        << "Error: Cannot create dir .. on /var/lib/config" << parent;
    QTest::newRow("address is the root") << "set_pxe_config_file?.&/ax-" + pid + "-dot&x"
        << "Error: Cannot create dir . on /var/lib/config" << Root + "/ax-" + pid + "-dot";
    QTest::newRow("empty address") << "set_pxe_config_file?&/ax-" + pid + "-empty&x"
        << "Error: Cannot create dir  on /var/lib/config" << Root + "/ax-" + pid + "-empty";
    QTest::newRow("file name climbing out") << "set_pxe_config_file?" + client + "&/../../ax-" + pid + "-escape&x"
        << "Error: Cannot open file " + Root + "/" + client + "/../../ax-" + pid + "-escape for writing" << parent;
    QTest::newRow("removal climbing out") << "remove_pxe_config_file?" + client + "&/../../ax-" + pid + "-victim"
        << "Error: Cannot remove file /../../ax-" + pid + "-victim (" + Root + "/" + client + "/../../ax-" + pid + "-victim)"
        << "victim:/var/lib/ax-" + pid + "-victim";
    QTest::newRow("removal in a neighbour") << "remove_pxe_config_file?" + client + "&b/default"
        << "Error: Cannot remove file b/default (" + Root + "/" + client + "b/default)"
        << "victim:" + Root + "/" + client + "b/default";
    QTest::newRow("removal with the parent as address") << "remove_pxe_config_file?..&/ax-" + pid + "-victim2"
        << "Error: Cannot remove file /ax-" + pid + "-victim2 (" + Root + "/../ax-" + pid + "-victim2)"
        << "victim:/var/lib/ax-" + pid + "-victim2";
}

void PxeTest::pathsLeavingTheClientDirectoryAreRefused()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    QFETCH(QString, untouched);
    if (!QFileInfo::exists(Root)) {
        QVERIFY(QDir().mkpath(Root));
        createdRoot = true;
    }
    QVERIFY(QDir().mkpath(Root + "/" + mac(3).toLower()));
    const bool isVictim = untouched.startsWith("victim:");
    const QString path = isVictim ? untouched.mid(7) : untouched;
    if (isVictim) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile victim(path);
        QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("precious") == 8);
    }
    if (!path.startsWith(Root + "/"))
        outside.append(path);

    QCOMPARE(ask(request), reply.toUtf8() + "\n");
    if (isVictim)
        QCOMPARE(readAll(path), QByteArray("precious"));
    else
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
}

QTEST_GUILESS_MAIN(PxeTest)
#include "tst_pxe.moc"
