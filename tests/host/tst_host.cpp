// Host operations: system figures of this very machine, ending sessions found in real login
// records, PXE boot files under the fixed root "/var/lib/config", and chroot mounts and cloud
// printers through fake programs at the programs' fixed paths, installed only where nothing is.
#include "fakeprogram.h"
#include "loginrecords.h"
#include "testfiles.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QString Root = "/var/lib/config";

// Gone, or ended and not yet reaped.
bool isGone(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
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

const QByteArray ServerToken = "programs-test-token-9a3e55";

} // namespace

class HostTest : public QObject
{
    Q_OBJECT

    QByteArray ask(const QString &request) { return client->request(request.toUtf8(), 30000); }
    // Unique per run, in upper case as consoles send them.
    QString mac(int n) const { return QStringLiteral("AX-%1-%2").arg(QCoreApplication::applicationPid()).arg(n); }
    void ensurePxeRoot() { createdRoot = createdRoot || (!QFileInfo::exists(Root) && QDir().mkpath(Root)); }
    // Each fake keeps the mode and contents of the file its last argument names while it runs,
    // then ends as the shared "outcome" file says.
    QByteArray body() const
    {
        return "for last; do :; done\nif [ -f \"$last\" ]; then stat -c %a \"$last\" > \"$d/mode\"; "
               "cat \"$last\" > \"$d/credentials\"; fi\noutcome=$(cat '" + control.path().toUtf8() + "/outcome')\n"
               "[ \"$outcome\" = crash ] && kill -9 $$\nexit \"$outcome\"\n";
    }
    bool installFakes(const QByteArray &outcome)
    {
        return mount.install() && umount.install() && printers.install() && writeFile(control.path() + "/outcome", outcome);
    }

    QTemporaryDir control;
    FakeProgram mount{QStringLiteral("/usr/sbin/mountchroot"), body()};
    FakeProgram umount{QStringLiteral("/usr/sbin/umountchroot"), body()};
    FakeProgram printers{QStringLiteral("/usr/lib/cloudprint-cups/manageprinters.py"), body()};
    const bool realPrograms = QFileInfo::exists(mount.path()) || QFileInfo::exists(umount.path())
                              || QFileInfo::exists(printers.path());
    TestServer server;
    std::unique_ptr<TestClient> client;   // alice
    std::unique_ptr<TestClient> tokenClient;  // by the server token, the password the programs get
    bool createdRoot = false;
    QStringList outside; // victims outside the root

private slots:
    void initTestCase()
    {
        server.setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
        QVERIFY(server.start());
        QVERIFY(client = server.login());
        QVERIFY(tokenClient = server.login("operator", ServerToken));
    }

    void init()
    {
        const QRegularExpression needsFakes(QStringLiteral("Programs|Chroot|exitCodes|printer"));
        if (realPrograms && needsFakes.match(QString::fromLatin1(QTest::currentTestFunction())).hasMatch())
            QSKIP("a real program is installed at a fixed path");
    }

    void cleanupTestCase()
    {
        const QString ours = QStringLiteral("ax-%1-*").arg(QCoreApplication::applicationPid());
        for (const QString &entry : QDir(Root).entryList({ours}, QDir::AllEntries | QDir::NoDotAndDotDot))
            QDir(Root + "/" + entry).removeRecursively();
        for (const QString &path : qAsConst(outside))
            QFile::remove(path);
        if (createdRoot)
            QDir().rmdir(Root);
    }

    void figuresOfThisMachine()
    {
        const QRegularExpressionMatch machine = QRegularExpression("MemTotal:\\s+(\\d+) kB").match(readFile("/proc/meminfo"));
        const double machineTotal = machine.captured(1).toDouble() * 1024;
        const QRegularExpressionMatch memory = QRegularExpression("^(\\d+)/(\\d+)\\n$").match(ask("get_system_memory"));
        QVERIFY(machine.hasMatch() && memory.hasMatch());
        QVERIFY(qAbs(memory.captured(2).toDouble() - machineTotal) <= machineTotal * 0.02);
        QVERIFY(memory.captured(1).toDouble() > 0 && memory.captured(1).toDouble() <= memory.captured(2).toDouble());

        const QString disks = QString::fromUtf8(ask("get_system_disk_space")).chopped(1);
        QStringList roots;
        for (const QString &entry : disks.split(',')) {
            const QRegularExpressionMatch m = QRegularExpression("^\"([^\"]+)\"/(\\d+)/(\\d+)$").match(entry);
            QVERIFY2(m.hasMatch(), qPrintable(disks));
            QVERIFY(m.captured(2).toULongLong() <= m.captured(3).toULongLong() && m.captured(3).toULongLong() > 0);
            roots.append(m.captured(1));
        }
        // One entry per device, so bind mounts of the root file system do not repeat it.
        QCOMPARE(roots.count("/"), 1);
        QCOMPARE(QSet<QString>(roots.begin(), roots.end()).size(), roots.size());
    }

    void loadRisesWithBusyProcessors()
    {
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
        const QRegularExpressionMatch m = QRegularExpression("^(\\d{1,3}\\.\\d\\d)\\n$").match(busy);
        QVERIFY2(m.hasMatch() && m.captured(1).toDouble() > 60.0 && m.captured(1).toDouble() <= 100.0, busy.constData());
    }

    void killSessionEndsTheFirstSession_data()
    {
        QTest::addColumn<QStringList>("firstSession");
        QTest::addColumn<bool>("staleRecordFirst");
        QTest::addColumn<QString>("account"); // empty: a user of the platform's
        QTest::newRow("hang-up ends it") << QStringList{"sleep", "300"} << false << QString();
        QTest::newRow("hang-up ignored, termination follows")
            << QStringList{"sh", "-c", "trap '' HUP; exec sleep 300"} << false << QString();
        QTest::newRow("its whole process group goes")
            << QStringList{"sh", "-c", "sleep 300 & echo $!; wait"} << false << QString();
        // A record outliving its process must neither hide the live session behind it nor point
        // at whatever process has its id now.
        QTest::newRow("stale record of the same user first") << QStringList{"sleep", "300"} << true << QString();
        // The host's own accounts are not the platform's to log off.
        QTest::newRow("root's session stays") << QStringList{"sleep", "300"} << false << "root";
        QTest::newRow("a system account's session stays") << QStringList{"sleep", "300"} << false << "daemon";
    }

    void killSessionEndsTheFirstSession()
    {
        QFETCH(QStringList, firstSession);
        QFETCH(bool, staleRecordFirst);
        QFETCH(QString, account);
        static int row = 0;
        const QString user = account.isEmpty() ? QStringLiteral("AxKill%1n%2").arg(QCoreApplication::applicationPid()).arg(++row)
                                               : account;
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
        QCOMPARE(ask("kill_session?" + user.toUpper()), QByteArray("\n"));
        QCOMPARE(isGone(first->processId()), account.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!member || isGone(member), 10000);
        QVERIFY(!isGone(second->processId()));
    }

    void missingPxeRootIsNotCreated()
    {
        if (QFileInfo::exists(Root))
            QSKIP("this machine has a PXE root");
        QCOMPARE(ask("set_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default&x"),
                 "Error: Cannot create dir " + mac(0).toLower().toUtf8() + " on /var/lib/config\n");
        QVERIFY(!QFileInfo::exists(Root));
        QCOMPARE(ask("remove_pxe_config_file?" + mac(0) + "&/pxelinux.cfg/default"), QByteArray("Ok\n"));
    }

    void pxeFilesAreWrittenAndRemoved()
    {
        ensurePxeRoot();
        const QString clientDirectory = Root + "/" + mac(1).toLower();
        const QString file = clientDirectory + "/pxelinux.cfg/default";
        QCOMPARE(ask("set_pxe_config_file?" + mac(1) + "&/pxelinux.cfg/default&first version, long"), QByteArray("Ok\n"));
        QCOMPARE(readFile(file), QByteArray("first version, long"));
        // Lower case reaches the same client; the second write replaces the first.
        QCOMPARE(ask("set_pxe_config_file?" + mac(1).toLower() + "&/pxelinux.cfg/default&zweite \xc3\xa9"), QByteArray("Ok\n"));
        QCOMPARE(readFile(file), QByteArray("zweite \xc3\xa9"));
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

    void pxePathsLeavingTheClientDirectoryAreRefused_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("untouched"); // must stay absent, or a victim file that must survive
        const QString run = QString::number(QCoreApplication::applicationPid());
        const QString client = mac(3).toLower();
        const QString escape = "/var/lib/ax-" + run + "-escape";
        const QString created = "Error: Cannot create dir %1 on /var/lib/config";
        QTest::newRow("address with a slash") << "set_pxe_config_file?" + client + "/sub&/f&x"
            << created.arg(client + "/sub") << Root + "/" + client + "/sub";
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

    void pxePathsLeavingTheClientDirectoryAreRefused()
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
        if (isVictim)
            QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, "precious"));
        QCOMPARE(ask(request), reply.toUtf8() + "\n");
        if (isVictim)
            QCOMPARE(readFile(path), QByteArray("precious"));
        else
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    }

    void missingProgramsAnswerTheirErrors()
    {
        QCOMPARE(tokenClient->request("mount_chroot?a&b&alice&d&e"), QByteArray("Error -2\n"));
        QCOMPARE(tokenClient->request("umount_chroot?a"), QByteArray("Error 0\n"));
        QCOMPARE(tokenClient->request("prune_google_printers?a"), QByteArray("Error -2\n"));
        QCOMPARE(QDir(QDir::tempPath()).entryList({"ambrix-chroot-*"}), QStringList());
    }

    void mountChrootHandsOverCredentials()
    {
        QVERIFY(installFakes("0"));
        QCOMPARE(tokenClient->request("mount_chroot?/srv/chroot&-o ro&alice&p 3&"), QByteArray("Ok\n"));
        const QStringList arguments = mount.calls().value(0).split('|');
        QCOMPARE(arguments.mid(0, 5), QStringList({"/srv/chroot", "-o ro", "alice", "p 3", ""}));
        QCOMPARE(arguments.size(), 6);
        QVERIFY(arguments.last().startsWith(QDir::tempPath() + "/"));
        QCOMPARE(readFile(mount.directory() + "/mode"), QByteArray("600\n"));
        QCOMPARE(readFile(mount.directory() + "/credentials"), "username=alice\npassword=" + ServerToken + "\n");
        QVERIFY(!QFileInfo::exists(arguments.last()));
        // The password is in the file only.
        QVERIFY(!server.standardError().contains(ServerToken) && !server.logContents().contains(ServerToken));
    }

    void exitCodesBecomeReplies_data()
    {
        QTest::addColumn<QByteArray>("outcome");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("failure") << QByteArray("3") << QByteArray("Error 3\n");
        QTest::newRow("crash") << QByteArray("crash") << QByteArray("Error -1\n");
    }

    void exitCodesBecomeReplies()
    {
        QFETCH(QByteArray, outcome);
        QFETCH(QByteArray, reply);
        QVERIFY(installFakes(outcome));
        mount.clearCalls();
        QCOMPARE(tokenClient->request("mount_chroot?a&b&alice&d&e"), reply);
        QVERIFY(!QFileInfo::exists(mount.calls().value(0).section('|', -1)));
        QCOMPARE(tokenClient->request("add_google_printer?a&b&c"), reply);
    }

    void umountChrootDoesNotWait()
    {
        QVERIFY(installFakes("5"));
        QCOMPARE(tokenClient->request("umount_chroot?/srv/chroot one"), QByteArray("Ok\n"));
        QVERIFY(umount.waitForCalls(1));
        QCOMPARE(umount.calls(), QStringList{"/srv/chroot one"});
    }

    void printerArguments_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("arguments");
        QTest::newRow("connect") << QByteArray("alice") << QByteArray("add_google_printer?p0&p 1&p2")
                                 << "connect|p0|p 1|p2|alice_GCP_|alice";
        QTest::newRow("disconnect, domain user") << QByteArray("CORP\\alice") << QByteArray("remove_google_printer?p0&&p2")
                                                 << "disconnect|p0||p2|CORP_alice_GCP_|CORP\\alice";
        QTest::newRow("prune") << QByteArray("CORP\\alice") << QByteArray("prune_google_printers?p0")
                               << "prune|p0|CORP_alice_GCP_";
    }

    void printerArguments()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, request);
        QFETCH(QString, arguments);
        QVERIFY(installFakes("0"));
        printers.clearCalls();
        const std::unique_ptr<TestClient> connection = server.login(user, ServerToken);
        QCOMPARE(connection->request(request), QByteArray("Ok\n"));
        QCOMPARE(printers.calls(), QStringList{arguments});
    }
};

QTEST_GUILESS_MAIN(HostTest)
#include "tst_host.moc"
