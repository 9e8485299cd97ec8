// Host operations: system figures of this very machine, ending sessions found in real login
// records, PXE boot files under the fixed root "/var/lib/config", and chroot mounts and cloud
// printers through fake programs at the programs' fixed paths, installed only where nothing is.
#include "fakeprogram.h"
#include "loginrecords.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testserver.h"

#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>

namespace {

const QString Root = "/var/lib/config";
const QByteArray ServerToken = "programs-test-token-9a3e55";

// Gone, or ended and not yet reaped.
bool isGone(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// A process of the user's in a process group of its own, as a login session's is.
std::unique_ptr<QProcess> startSession(const QString &user, const QStringList &command)
{
    auto process = std::make_unique<TiedProcess>();
    process->start("/usr/bin/setsid", QStringList{"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user,
                                                  "--init-groups"} + command);
    process->waitForStarted();
    // A session is the user's once its process has run the command as the user: until that exec
    // the kernel shows /proc/PID as root's, and the server (rightly) leaves root's sessions alone.
    const QByteArray proc = QStringLiteral("/proc/%1").arg(process->processId()).toLatin1();
    const passwd *account = getpwnam(qPrintable(user));
    const uid_t uid = account ? account->pw_uid : 0;
    struct stat info;
    const bool isUsers = waitUntil([&] { return ::stat(proc.constData(), &info) == 0 && info.st_uid == uid; }, 20000);
    return isUsers ? std::move(process) : nullptr;
}

} // namespace

class HostTest : public QObject
{
    Q_OBJECT

    QByteArray ask(const QString &request) { return client->request(request.toUtf8(), 30000); }
    // Unique per run, in upper case as consoles send them.
    QString mac(int n) const { return QStringLiteral("AX-%1-%2").arg(QCoreApplication::applicationPid()).arg(n); }
    FakeProgram mount{QStringLiteral("/usr/sbin/mountchroot"), fixture("recording.sh")};
    FakeProgram umount{QStringLiteral("/usr/sbin/umountchroot"), fixture("recording.sh")};
    FakeProgram printers{QStringLiteral("/usr/lib/cloudprint-cups/manageprinters.py"), fixture("recording.sh")};
    const bool realPrograms = QFileInfo::exists(mount.path()) || QFileInfo::exists(umount.path())
                              || QFileInfo::exists(printers.path());
    TestServer server;
    std::unique_ptr<TestClient> client; // alice
    bool createdRoot = false;
    QStringList outside; // victims outside the root

private slots:
    void initTestCase()
    {
        server.setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
        QVERIFY(server.start());
        QVERIFY(client = server.login());
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

        std::vector<std::unique_ptr<QProcess>> spinners;
        const auto stop = qScopeGuard([&spinners] {
            for (auto &spinner : spinners) {
                spinner->kill();
                spinner->waitForFinished();
            }
        });
        for (int i = 0; i < QThread::idealThreadCount(); ++i) {
            spinners.push_back(std::make_unique<TiedProcess>());
            spinners.back()->start("/bin/sh", {"-c", "while :; do :; done"});
            QVERIFY(spinners.back()->waitForStarted());
        }
        const QByteArray busy = ask("get_system_load");
        const QRegularExpressionMatch m = QRegularExpression("^(\\d{1,3}\\.\\d\\d)\\n$").match(busy);
        QVERIFY2(m.hasMatch() && m.captured(1).toDouble() > 60.0 && m.captured(1).toDouble() <= 100.0, busy.constData());
    }

    // Two sessions of one user: the first is ended, with its whole process group, the second stays.
    // A record outliving its process must neither hide the live session behind it nor point at
    // whatever process has its id now; the host's own accounts are not the platform's to log off.
    void killSessionEndsTheFirstSession_data() { addRowsFrom("host.rows"); }

    void killSessionEndsTheFirstSession()
    {
        if (!LoginRecords::areTheSessionSource())
            QSKIP("logind keeps this machine's sessions");
        const QString firstSession = field("firstSession"), account = field("account");
        static int row = 0;
        const bool platformUser = account.isEmpty() || account == "stale";
        const QString user = platformUser ? QStringLiteral("axkill%1n%2").arg(QCoreApplication::applicationPid()).arg(++row) : account;
        // The processes are the user's own: the server never ends a session whose processes
        // belong to root or to a system account, whatever its record says.
        QVERIFY(!platformUser || Programs::run(Programs::UseraddProgram, {"-M", "-U", "--", user}, 30000).succeeded());
        LoginRecords records;
        if (account == "stale") {
            TiedProcess ended;
            ended.start("/bin/true", QStringList());
            QVERIFY(ended.waitForStarted() && ended.waitForFinished() && records.add(ended.processId(), user));
        }
        const auto first = startSession(user, firstSession.split('|'));
        const auto second = startSession(user, {"sleep", "300"});
        const auto stop = qScopeGuard([&] {
            for (QProcess *session : {first.get(), second.get()}) {
                if (session) {
                    session->kill();
                    session->waitForFinished();
                }
            }
        });
        QVERIFY2(first && second, "the sessions' processes did not become the user's");
        qint64 member = 0;
        if (firstSession.contains("echo")) {
            QVERIFY(first->waitForReadyRead());
            member = first->readLine().trimmed().toLongLong();
        }
        QVERIFY(records.add(first->processId(), user) && records.add(second->processId(), user));

        QCOMPARE(ask("kill_session?" + user + "x"), QByteArray("\n"));
        QVERIFY(!isGone(first->processId()));
        // Other letter case; the reply comes once the session has gone.
        QCOMPARE(ask("kill_session?" + user.toUpper()), QByteArray("\n"));
        QCOMPARE(isGone(first->processId()), platformUser);
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

    // PXE files of one client, written and removed in order, and paths that would leave its directory.
    void pxeFiles_data()
    {
        const QString run = QString::number(QCoreApplication::applicationPid());
        addRowsFrom("host.rows", {{"CU", mac(1)}, {"C", mac(1).toLower()}, {"R", run}});
    }

    void pxeFiles()
    {
        const QString file = field("file");
        createdRoot = createdRoot || (!QFileInfo::exists(Root) && QDir().mkpath(Root));
        QVERIFY(QDir().mkpath(Root + "/" + mac(1).toLower()));
        const QString path = file.section('=', 0, 0).remove(QRegularExpression("^\\+"));
        if (!path.startsWith(Root + "/"))
            outside.append(path);
        if (file.startsWith('+'))
            QVERIFY(path.endsWith('/') ? QDir().mkpath(path) : QDir().mkpath(QFileInfo(path).path()) && writeFile(path, "precious"));
        QCOMPARE(QString::fromUtf8(ask(field("request"))), field("reply"));
        if (file.startsWith('+'))
            QVERIFY(path.endsWith('/') ? QFileInfo(path).isDir() : readFile(path) == "precious");
        else if (file.contains('='))
            QCOMPARE(QString::fromUtf8(readFile(path)), file.section('=', 1));
        else
            QVERIFY2(path.isEmpty() || !QFileInfo::exists(path), qPrintable(path));
    }

    // The programs as requested by a login with the server token, the password they get.
    void programs_data() { addRowsFrom("host.rows"); }

    void programs()
    {
        if (realPrograms)
            QSKIP("a real program is installed at a fixed path");
        const QString outcome = field("outcome"), program = field("program"), arguments = field("arguments");
        for (FakeProgram *fake : {&mount, &umount, &printers}) {
            fake->clearCalls();
            QVERIFY(outcome == "missing" ? (fake->remove(), true) : fake->install());
            QVERIFY(writeFile(fake->directory() + "/outcome", outcome.toUtf8()));
        }
        const std::unique_ptr<TestClient> connection = server.login(field("user").toUtf8(), ServerToken);
        QCOMPARE(connection->request(field("request").toUtf8()), field("reply").toUtf8());
        FakeProgram *fake = program == "mount" ? &mount : program == "umount" ? &umount : &printers;
        QVERIFY(program.isEmpty() || fake->waitForCalls(1));
        const QString credentials = fake->calls().value(0).section('|', -1);
        QCOMPARE(fake->calls().value(0), QString(arguments).replace("<credentials>", credentials));
        if (arguments.endsWith("<credentials>")) {
            // The password is in a file of the caller's only, and gone afterwards.
            QVERIFY(credentials.startsWith(QDir::tempPath() + "/") && !QFileInfo::exists(credentials));
            QCOMPARE(readFile(mount.directory() + "/mode"), QByteArray("600\n"));
            QCOMPARE(readFile(mount.directory() + "/credentials"), "username=alice\npassword=" + ServerToken + "\n");
        }
        QVERIFY(!server.standardError().contains(ServerToken) && !server.logContents().contains(ServerToken));
        QCOMPARE(QDir(QDir::tempPath()).entryList({"ambrix-chroot-*"}), QStringList());
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(HostTest)
#include "tst_host.moc"
