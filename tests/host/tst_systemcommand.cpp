// System figures of this very machine, ending sessions found in real login records, and PXE boot
// files under the fixed root "/var/lib/config".
#include "loginrecords.h"
#include "testclient.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray ServerToken = "system-test-token-7c1f9e";
const QString Root = "/var/lib/config";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Gone, or ended and not yet reaped.
bool isGone(qint64 pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// A process in a process group of its own, as a login session's is.
std::unique_ptr<QProcess> startSession(const QStringList &command)
{
    auto process = std::make_unique<QProcess>();
    process->start("/usr/bin/setsid", command);
    process->waitForStarted();
    return process;
}

} // namespace

class SystemCommandTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void memoryMatchesTheMachine();
    void disksIncludeTheRootFileSystem();
    void loadRisesWithBusyProcessors();
    void killSessionEndsTheFirstSession_data();
    void killSessionEndsTheFirstSession();
    void missingPxeRootIsNotCreated();
    void pxeFilesAreWrittenAndRemoved();
    void pxePathsLeavingTheClientDirectoryAreRefused_data();
    void pxePathsLeavingTheClientDirectoryAreRefused();

private:
    QByteArray ask(const QString &request) { return client->request(request.toUtf8(), 30000); }
    // Unique per run, in upper case as consoles send them.
    QString mac(int n) const { return QStringLiteral("AX-%1-%2").arg(QCoreApplication::applicationPid()).arg(n); }
    void ensurePxeRoot();

    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
    bool createdRoot = false;
    QStringList outside;  // victims outside the root
};

void SystemCommandTest::initTestCase()
{
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request("login?operator&&" + ServerToken), QByteArray("Authentication ok.\n"));
}

void SystemCommandTest::cleanupTestCase()
{
    client.reset();
    server->interrupt();
    QVERIFY(server->waitForExit());
    const QString ours = QStringLiteral("ax-%1-*").arg(QCoreApplication::applicationPid());
    const QStringList entries = QDir(Root).entryList({ours}, QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &entry : entries)
        QDir(Root + "/" + entry).removeRecursively();
    for (const QString &path : qAsConst(outside))
        QFile::remove(path);
    if (createdRoot)
        QDir().rmdir(Root);
}

void SystemCommandTest::memoryMatchesTheMachine()
{
    const QRegularExpressionMatch machine = QRegularExpression("MemTotal:\\s+(\\d+) kB").match(readAll("/proc/meminfo"));
    QVERIFY(machine.hasMatch());
    const double machineTotal = machine.captured(1).toDouble() * 1024;
    const QRegularExpressionMatch reply = QRegularExpression("^(\\d+)/(\\d+)\\n$").match(ask("get_system_memory"));
    QVERIFY(reply.hasMatch());
    QVERIFY(qAbs(reply.captured(2).toDouble() - machineTotal) <= machineTotal * 0.02);
    QVERIFY(reply.captured(1).toDouble() > 0 && reply.captured(1).toDouble() <= reply.captured(2).toDouble());
}

void SystemCommandTest::disksIncludeTheRootFileSystem()
{
    const QString reply = QString::fromUtf8(ask("get_system_disk_space")).chopped(1);
    QStringList roots;
    const QStringList entries = reply.split(',');
    for (const QString &entry : entries) {
        const QRegularExpressionMatch m = QRegularExpression("^\"([^\"]+)\"/(\\d+)/(\\d+)$").match(entry);
        QVERIFY2(m.hasMatch(), qPrintable(reply));
        QVERIFY(m.captured(2).toULongLong() <= m.captured(3).toULongLong() && m.captured(3).toULongLong() > 0);
        roots.append(m.captured(1));
    }
    // One entry per device, so bind mounts of the root file system do not repeat it.
    QCOMPARE(roots.count("/"), 1);
    QCOMPARE(QSet<QString>(roots.begin(), roots.end()).size(), roots.size());
}

void SystemCommandTest::loadRisesWithBusyProcessors()
{
    const QRegularExpression figure("^(\\d{1,3}\\.\\d\\d)\\n$");
    const QRegularExpressionMatch quiet = figure.match(ask("get_system_load"));
    QVERIFY(quiet.hasMatch() && quiet.captured(1).toDouble() <= 100.0);

    std::vector<std::unique_ptr<QProcess>> spinners;
    const auto stop = qScopeGuard([&spinners] {
        for (auto &spinner : spinners) {
            spinner->kill();
            spinner->waitForFinished();
        }
    });
    for (int i = 0; i < QThread::idealThreadCount(); ++i) {
        spinners.push_back(std::make_unique<QProcess>());
        spinners.back()->start("/bin/sh", {"-c", "while :; do :; done"});
        QVERIFY(spinners.back()->waitForStarted());
    }
    const QByteArray busy = ask("get_system_load");
    const QRegularExpressionMatch m = figure.match(busy);
    QVERIFY2(m.hasMatch() && m.captured(1).toDouble() > 60.0 && m.captured(1).toDouble() <= 100.0, busy.constData());
}

void SystemCommandTest::killSessionEndsTheFirstSession_data()
{
    QTest::addColumn<QStringList>("firstSession");
    QTest::addColumn<bool>("staleRecordFirst");
    QTest::newRow("hang-up ends it") << QStringList{"sleep", "300"} << false;
    QTest::newRow("hang-up ignored, termination follows") << QStringList{"sh", "-c", "trap '' HUP; exec sleep 300"} << false;
    QTest::newRow("its whole process group goes") << QStringList{"sh", "-c", "sleep 300 & echo $!; wait"} << false;
    // A record outliving its process must neither hide the live session behind it nor point
    // at whatever process has its id now.
    QTest::newRow("stale record of the same user first") << QStringList{"sleep", "300"} << true;
}

void SystemCommandTest::killSessionEndsTheFirstSession()
{
    QFETCH(QStringList, firstSession);
    QFETCH(bool, staleRecordFirst);
    static int row = 0;
    const QString user = QStringLiteral("AxKill%1n%2").arg(QCoreApplication::applicationPid()).arg(++row);
    LoginRecords records;
    if (staleRecordFirst) {
        QProcess ended;
        ended.start("/bin/true", QStringList());
        QVERIFY(ended.waitForStarted());
        const qint64 stalePid = ended.processId();
        QVERIFY(ended.waitForFinished() && records.add(stalePid, user));
    }
    const auto first = startSession(firstSession);
    const auto second = startSession({"sleep", "300"});
    const auto stop = qScopeGuard([&] { first->kill(); second->kill(); first->waitForFinished(); second->waitForFinished(); });
    qint64 member = 0;
    if (firstSession.last().contains("echo $!")) {
        QVERIFY(first->waitForReadyRead());
        member = first->readLine().trimmed().toLongLong();
    }
    QVERIFY(records.add(first->processId(), user) && records.add(second->processId(), user));

    QCOMPARE(ask("kill_session?" + user + "x"), QByteArray("\n"));
    QVERIFY(!isGone(first->processId()));
    // Other letter case; the reply comes once the session has gone.
    QCOMPARE(ask("kill_session?" + user.toLower()), QByteArray("\n"));
    QVERIFY(isGone(first->processId()));
    QDeadlineTimer deadline(10000);
    while (member && !isGone(member) && !deadline.hasExpired())
        QThread::msleep(20);
    QVERIFY(!member || isGone(member));
    QVERIFY(!isGone(second->processId()));
}

void SystemCommandTest::missingPxeRootIsNotCreated()
{
    if (QFileInfo::exists(Root))
        QSKIP("this machine has a PXE root");
    QCOMPARE(ask("set_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default&x"),
             "Error: Cannot create dir " + mac(0).toLower().toUtf8() + " on /var/lib/config\n");
    QVERIFY(!QFileInfo::exists(Root));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
}

void SystemCommandTest::ensurePxeRoot()
{
    if (!QFileInfo::exists(Root)) {
        QVERIFY(QDir().mkpath(Root));
        createdRoot = true;
    }
}

void SystemCommandTest::pxeFilesAreWrittenAndRemoved()
{
    ensurePxeRoot();
    const QString clientDirectory = Root + "/" + mac(1).toLower();
    const QString file = clientDirectory + "/pxelinux.cfg/default";
    QCOMPARE(ask("set_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/default&first version, long"), QByteArray("Ok\n"));
    QCOMPARE(readAll(file), QByteArray("first version, long"));
    // Lower case reaches the same client; the second write replaces the first.
    QCOMPARE(ask("set_pxe_config_file?" + mac(1).toLower() + "&/pxelinux.cfg/default&zweite \xc3\xa9"), QByteArray("Ok\n"));
    QCOMPARE(readAll(file), QByteArray("zweite \xc3\xa9"));
    QVERIFY(!QFileInfo::exists(Root + "/" + mac(1)));

    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/absent"), QByteArray("Ok\n"));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(2) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
    QVERIFY(!QFileInfo::exists(file) && QFileInfo(clientDirectory + "/pxelinux.cfg").isDir());

    // A directory in the file's place can be neither written nor removed.
    QVERIFY(QDir().mkpath(clientDirectory + "/boot/taken"));
    QCOMPARE(ask("set_pxe_config_file?" + mac(1) + "&/boot/taken&x"),
             "Error: Cannot open file " + clientDirectory.toUtf8() + "/boot/taken for writing\n");
    QCOMPARE(ask("remove_pxe_config_file?" + mac(1) + "&/boot/taken"),
             "Error: Cannot remove file /boot/taken (" + clientDirectory.toUtf8() + "/boot/taken)\n");
}

void SystemCommandTest::pxePathsLeavingTheClientDirectoryAreRefused_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("untouched");  // must stay absent, or a victim file that must survive
    const QString run = QString::number(QCoreApplication::applicationPid());
    const QString client = mac(3).toLower();
    const QString escape = "/var/lib/ax-" + run + "-escape";
    const QString created = "Error: Cannot create dir %1 on /var/lib/config";
    QTest::newRow("address with a slash") << "set_pxe_config_file?" + client + "/sub&/f&x"
        << created.arg(client + "/sub") << Root + "/" + client + "/sub";
    QTest::newRow("address climbing out") << "set_pxe_config_file?../AX-" + run + "-escape&/f&x"
        << created.arg("../ax-" + run + "-escape") << escape;
    QTest::newRow("address is the parent") << "set_pxe_config_file?..&/ax-" + run + "-escape&x" << created.arg("..") << escape;
    QTest::newRow("address is the root") << "set_pxe_config_file?.&/ax-" + run + "-dot&x"
        << created.arg(".") << Root + "/ax-" + run + "-dot";
    QTest::newRow("empty address") << "set_pxe_config_file?&/ax-" + run + "-empty&x"
        << created.arg("") << Root + "/ax-" + run + "-empty";
    QTest::newRow("file name climbing out") << "set_pxe_config_file?" + client + "&/../../ax-" + run + "-escape&x"
        << "Error: Cannot open file " + Root + "/" + client + "/../../ax-" + run + "-escape for writing" << escape;
    QTest::newRow("removal climbing out") << "remove_pxe_config_file?" + client + "&/../../ax-" + run + "-victim"
        << "Error: Cannot remove file /../../ax-" + run + "-victim (" + Root + "/" + client + "/../../ax-" + run + "-victim)"
        << "victim:/var/lib/ax-" + run + "-victim";
    QTest::newRow("removal in a neighbour") << "remove_pxe_config_file?" + client + "&b/default"
        << "Error: Cannot remove file b/default (" + Root + "/" + client + "b/default)"
        << "victim:" + Root + "/" + client + "b/default";
    QTest::newRow("removal with the parent as address") << "remove_pxe_config_file?..&/ax-" + run + "-victim2"
        << "Error: Cannot remove file /ax-" + run + "-victim2 (" + Root + "/../ax-" + run + "-victim2)"
        << "victim:/var/lib/ax-" + run + "-victim2";
}

void SystemCommandTest::pxePathsLeavingTheClientDirectoryAreRefused()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    QFETCH(QString, untouched);
    ensurePxeRoot();
    QVERIFY(QDir().mkpath(Root + "/" + mac(3).toLower()));
    const bool isVictim = untouched.startsWith("victim:");
    const QString path = isVictim ? untouched.mid(7) : untouched;
    if (!path.startsWith(Root + "/"))
        outside.append(path);
    if (isVictim) {
        QFile victim(path);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && victim.open(QIODevice::WriteOnly) && victim.write("precious") == 8);
    }
    QCOMPARE(ask(request), reply.toUtf8() + "\n");
    if (isVictim)
        QCOMPARE(readAll(path), QByteArray("precious"));
    else
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
}

QTEST_GUILESS_MAIN(SystemCommandTest)
#include "tst_systemcommand.moc"
