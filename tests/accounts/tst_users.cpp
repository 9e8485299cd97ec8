// Users, groups, membership, passwords and profile folders on real accounts and a real share
// registry, in private copies of the host's that vanish with the test; user tokens in the real
// test database.
#include "accounts/axusercommand.h"
#include "db/mysqlinfo.h"
#include "platform/privileged.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QSysInfo>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QRegularExpression tokenForm(QStringLiteral("^[A-Za-z0-9]{64}$"));
const QStringList accountFiles{"/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow"};

Programs::Result run(const QString &program, const QStringList &args)
{
    return Programs::run(program, args, 30000);
}

QString accessList(const QString &path)
{
    return QString::fromUtf8(run("/usr/bin/getfacl", {QStringLiteral("--omit-header"), path}).standardOutput);
}

QString exclusiveAccessList(const QString &user)
{
    return QStringLiteral("user::rwx\nuser:%1:rwx\ngroup::---\nmask::rwx\nother::---\n\n").arg(user);
}

Programs::Result share(const QString &name)
{
    return run(Programs::NetProgram, {QStringLiteral("conf"), QStringLiteral("showshare"), name});
}

// The privileged side this program started.
pid_t privilegedSide()
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains("(ambrix-privileg") && fields.size() > 1 && fields[1].toLongLong() == ::getpid())
            return pid_t(entry.toLongLong());
    }
    return 0;
}

QList<QByteArray> readAll(const QStringList &files)
{
    QList<QByteArray> contents;
    for (const QString &file : files)
        contents.append(readFile(file));
    return contents;
}

} // namespace

class UsersTest : public QObject
{
    Q_OBJECT

    // One account operation in words, "%1" standing for the run's prefix: the verb and its values
    // (an empty value is an empty word). "@HOST" first runs it with LOGONSERVER naming HOST ("@"
    // alone: this host as consoles name it). The checks answer "yes" or "no".
    QString perform(const QString &operation)
    {
        QStringList w = QString(operation).replace(QLatin1String("%1"), prefix).split(' ');
        if (w.first().startsWith('@')) {
            const QString host = w.takeFirst().mid(1);
            qputenv("LOGONSERVER", ("\\\\" + (host.isEmpty() ? QSysInfo::machineHostName().toUpper() : host)).toUtf8());
        }
        const auto unset = qScopeGuard([] { qunsetenv("LOGONSERVER"); });
        const QString verb = w.takeFirst(), a = w.value(0), b = w.value(1), tag = QString::fromLatin1(QTest::currentDataTag());
        const auto yesNo = [](bool answer) { return QString::fromLatin1(answer ? "yes" : "no"); };
        const auto ran = [&](const QString &program) { return run(program, w).succeeded() ? QString() : "Error: " + program; };
        const QHash<QString, std::function<QString()>> verbs{
            {"create", [&] { return AXUserCommand::createUserInGroups(a, b, w.mid(2)); }},
            {"enable", [&] { return AXUserCommand::enableUser(a, b); }},
            {"disable", [&] { return AXUserCommand::disableUser(a, b); }},
            {"removeuser", [&] { return AXUserCommand::removeUser(a); }},
            {"reset", [&] { return AXUserCommand::changeUserPassword(a, QString(), b, tag); }},
            {"change", [&] { return AXUserCommand::changeUserPassword(a, b, w.value(2), tag); }},
            {"creategroup", [&] { return AXUserCommand::createGroup(a); }},
            {"removegroup", [&] { return AXUserCommand::removeGroup(a); }},
            {"members", [&] { return AXUserCommand::listGroupMembers(a); }},
            {"groups", [&] { return AXUserCommand::listGroups(); }},
            {"ismember", [&] { return yesNo(AXUserCommand::isUserInGroup(a, b)); }},
            {"folder", [&] { return AXUserCommand::createUserFolder(a, base); }},
            {"useradd", [&] { return ran(Programs::UseraddProgram); }},
            {"chage", [&] { return ran("/usr/bin/chage"); }},
            // The ordinary range moved above every account made here.
            {"raise", [&] { return writeFile("/etc/login.defs", loginDefs + "\nUID_MIN 59000\nGID_MIN 59000\n") ? "" : "Error"; }},
            // Checks, through the host's own tools where there are any.
            {"member", [&] { return yesNo(run("/usr/bin/id", {"-nG", "--", a}).standardOutput.trimmed().split(' ').contains(b.toUtf8())); }},
            {"exists", [&] { return yesNo(run("/usr/bin/getent", {"passwd", a}).succeeded()); }},
            {"group", [&] { return yesNo(run("/usr/bin/getent", {"group", a}).succeeded()); }},
            {"password", [&] { return yesNo(Privileged::checkPassword(a, b)); }},
            {"current", [&] { return yesNo(Privileged::checkPassword(a, b, true)); }}};
        return verbs.contains(verb) ? verbs[verb]() : "unknown operation " + verb;
    }

    const QString prefix = QStringLiteral("axt%1").arg(QCoreApplication::applicationPid());
    const QByteArray loginDefs = readFile("/etc/login.defs");
    std::unique_ptr<QTemporaryDir> scratch;
    QString base; // of profile folders, the one folder root
    QTemporaryDir programFiles; // PROGRAMW6432: the settings naming the folder roots
    TestDatabase fixture;

private slots:
    void initTestCase()
    {
        // Never the host's accounts: /etc must be the private copy.
        struct stat etc, root;
        QVERIFY(stat("/etc", &etc) == 0 && stat("/", &root) == 0);
        QVERIFY(etc.st_dev != root.st_dev);
        qunsetenv("LOGONSERVER");
        qunsetenv("COMPUTERNAME");
        // The privileged side reads the settings this test writes.
        qputenv("PROGRAMW6432", programFiles.path().toUtf8());
        QVERIFY(QDir().mkpath(programFiles.filePath(QStringLiteral("Ambrix Server"))));
        QVERIFY(startPrivilegedSideInProcess());
        QVERIFY2(fixture.load("users"), qPrintable(fixture.lastError()));
        // z and a join c in that order, p has it as primary group, priv has a group of its name.
        for (const char *op : {"creategroup %1g", "creategroup %1g2", "creategroup %1c", "create %1z Secret-1 %1c",
                               "create %1a Secret-1 %1c", "create %1b Secret-1", "useradd -M -N -g %1c %1p",
                               "useradd -M -U %1priv"}) {
            const QString reply = perform(op);
            QVERIFY2(!reply.startsWith("Error"), qPrintable(reply));
        }
    }

    void init()
    {
        scratch = std::make_unique<QTemporaryDir>();
        base = scratch->filePath(QStringLiteral("profiles"));
        QVERIFY(QDir().mkdir(base));
        QVERIFY(writeFile(programFiles.filePath(QStringLiteral("Ambrix Server/ambrix-server.ini")),
                          "[Server]\nUserFolderRoots=\"/nonexistent," + base.toUtf8() + "\"\n"));
    }

    void operations_data() { addRowsFrom("users.rows", {{"UPPER", prefix.toUpper()}}); }

    void operations()
    {
        const QString reply = field("reply");
        const auto restoreDefs = qScopeGuard([this] { writeFile("/etc/login.defs", loginDefs); });
        for (const QString &step : field("setup").split("; ", Qt::SkipEmptyParts)) {
            const QString done = perform(step);
            QVERIFY2(!done.startsWith("Error"), qPrintable(step + ": " + done));
        }
        const QList<QByteArray> before = readAll(accountFiles);
        const QString answer = perform(field("operation"));
        if (reply == "token")
            QVERIFY2(tokenForm.match(answer).hasMatch(), qPrintable(answer));
        else
            QCOMPARE(answer, QString(reply).replace("%1", prefix));
        for (const QString &check : field("checks").split("; ", Qt::SkipEmptyParts)) {
            if (check == "unchanged")
                QVERIFY(readAll(accountFiles) == before);
            else
                QVERIFY2(perform(QString(check).remove(0, check.startsWith('!'))) == (check.startsWith('!') ? "no" : "yes"),
                         qPrintable(check));
        }
    }

    // The platform's groups in the database's order; none of the host's own (root, sudo...).
    void groupListing()
    {
        QStringList names;
        for (const QByteArray &line : readFile(QStringLiteral("/etc/group")).split('\n')) {
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() > 2 && fields.at(2).toUInt() >= 1000 && fields.at(2).toUInt() <= 60000)
                names.append(QString::fromUtf8(fields.at(0)));
        }
        QVERIFY(names.contains(prefix + "g") && !names.contains("sudo"));
        QCOMPARE(AXUserCommand::listGroups(), names.join(','));
    }

    // A quote in a name is just a character: only that user's row changes.
    void tokens()
    {
        const TestDbParameters p = testDbParameters();
        MySqlInfo db(p.host, p.port);
        QVERIFY(db.openDatabase(p.user, p.password));
        const QString quoted = QStringLiteral("axt_o'q");
        QCOMPARE(AXUserCommand::userToken(&db, quoted), QStringLiteral("before"));
        const QString first = AXUserCommand::activateUser(&db, quoted);
        const QString second = AXUserCommand::activateUser(&db, quoted);
        QVERIFY2(tokenForm.match(first).hasMatch() && tokenForm.match(second).hasMatch() && first != second,
                 qPrintable(first + " " + second));
        QCOMPARE(AXUserCommand::userToken(&db, quoted), second);
        QCOMPARE(fixture.value("SELECT token FROM ax_user WHERE username='axt_o''q'"), second);
        QCOMPARE(AXUserCommand::userToken(&db, "axt_tok"), QStringLiteral("before"));
        const QString tokId = fixture.value("SELECT id FROM ax_user WHERE username='axt_tok'");
        QCOMPARE(AXUserCommand::userNameById(&db, tokId), QStringLiteral("axt_tok"));

        // A token stored nowhere would be a password that never works: none is handed out.
        const QList<QStringList> before = fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id"));
        for (const QString &hostile : {QStringLiteral("x' OR '1'='1"), QStringLiteral("x\\' OR 1=1 -- ")}) {
            QCOMPARE(AXUserCommand::activateUser(&db, hostile), QString());
            QCOMPARE(AXUserCommand::userToken(&db, hostile), QString());
            QCOMPARE(AXUserCommand::userNameById(&db, tokId + hostile), QString());
        }
        QCOMPARE(AXUserCommand::userNameById(&db, tokId + "abc"), QString());
        QCOMPARE(fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id")), before);
        MySqlInfo closed(QStringLiteral("127.0.0.1"), TestServer::freePort());
        QCOMPARE(AXUserCommand::activateUser(&closed, quoted), QString());
        QCOMPARE(AXUserCommand::activateUser(nullptr, quoted), QString());
    }

    // The folder, its sub-folders and their access lists, the share and the account's home;
    // again, only the share fails; removal takes it all. An unknown user's folder is made and
    // shared all the same.
    void folderMadeSharedAndRemoved()
    {
        const QString name = prefix + "a", folder = base + '/' + name;
        const QStringList subFolders = {"AppData", "Contacts", "Desktop", "Documents", "Downloads", "Favorites", "Links",
                                        "Music", "Pictures", "Saved Games", "Searches", "Start Menu", "Videos"};
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
        QCOMPARE(QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), subFolders);
        for (const QString &sub : subFolders)
            QCOMPARE(accessList(folder + '/' + sub), exclusiveAccessList(name));
        QCOMPARE(accessList(folder), exclusiveAccessList(name));
        const QString definition = QString::fromUtf8(share(name).standardOutput);
        for (const QString &line : {"path = " + folder, "comment = " + name, QStringLiteral("max connections = 4"),
                                    QStringLiteral("read only = no"), QStringLiteral("guest ok = no")})
            QVERIFY2(definition.contains('\t' + line + '\n'), qPrintable(definition));
        QCOMPARE(QString::fromUtf8(run("/usr/bin/getent", {"passwd", name}).standardOutput).section(':', 5, 5), folder);

        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Error: cannot share user folder: "));
        QVERIFY(writeFile(folder + QStringLiteral("/Documents/letter.txt"), "canary"));
        QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Ok"));
        QVERIFY(!QFileInfo::exists(folder) && !share(name).succeeded() && QFileInfo::exists(base));

        QCOMPARE(AXUserCommand::createUserFolder(prefix + "unknown", base), QStringLiteral("Ok"));
        QVERIFY(share(prefix + "unknown").succeeded() && QFileInfo(base + '/' + prefix + "unknown/Desktop").isDir());
    }

    // Only a plain name within the operator's folder roots: elsewhere nothing is created, secured,
    // shared, deleted or changed on the account, wherever a link leads. /etc is this test's private
    // copy, so a fault here could not hurt the host.
    void foldersOutsideTheRootsAreRefused_data() { addRowsFrom("users.rows"); }

    void foldersOutsideTheRootsAreRefused()
    {
        const QString name = field("name").replace("%1", prefix), baseFolder = field("baseFolder");
        QString folder = QDir::isAbsolutePath(baseFolder) ? baseFolder : scratch->filePath(baseFolder);
        if (baseFolder.startsWith("->"))
            QVERIFY(QFile::link(baseFolder.mid(2), folder = scratch->filePath("link")));
        const QString kept = scratch->filePath("elsewhere/" + prefix + "a");
        QVERIFY(writeFile(base + "/canary", "x") && writeFile(scratch->filePath("canary"), "x"));
        QVERIFY(QDir().mkpath(base + "/a/b") && QDir().mkpath(kept));
        const QList<QByteArray> before = readAll(accountFiles);
        QCOMPARE(AXUserCommand::createUserFolder(name, folder), QStringLiteral("Error: cannot share user folder: "));
        QCOMPARE(AXUserCommand::removeUserFolder(name, folder), QStringLiteral("Error: cannot unshare user folder"));
        QVERIFY(QFileInfo::exists(base + "/canary") && QFileInfo::exists(scratch->filePath("canary")));
        QVERIFY(QFileInfo(kept).isDir() && QDir(base + "/a/b").isEmpty() && !QFileInfo::exists(base + "/missing"));
        QVERIFY((name.isEmpty() || !share(name).succeeded()) && readAll(accountFiles) == before && !QFileInfo::exists("/etc/nologin"));
    }

    // A deletion stays on the folder's file system and, however deep the tree, holds one
    // directory open at a time. Without a share to remove, the folder still goes.
    void removalStaysOnItsFileSystem()
    {
        const QString name = prefix + "a", folder = base + '/' + name;
        const QString mountPoint = folder + QStringLiteral("/Documents/other");
        QVERIFY(QDir().mkpath(mountPoint));
        QVERIFY(run("/bin/mount", {"-t", "tmpfs", "tmpfs", mountPoint}).succeeded());
        auto unmount = qScopeGuard([&mountPoint] { run("/bin/umount", {"-l", mountPoint}); });
        QVERIFY(writeFile(mountPoint + QStringLiteral("/canary"), "x"));
        const QString deep = folder + QStringLiteral("/deep");
        QVERIFY(QDir().mkpath(deep));
        int fd = ::open(QFile::encodeName(deep).constData(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < 300 && fd >= 0; ++i) {
            ::mkdirat(fd, "d", 0700);
            const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
        }
        QVERIFY(fd >= 0 && ::close(fd) == 0);
        // The deletion runs in the privileged side, this program's child.
        const pid_t privileged = privilegedSide();
        rlimit limit{}, lowered{};
        QVERIFY(privileged > 0 && ::prlimit(privileged, RLIMIT_NOFILE, nullptr, &limit) == 0);
        lowered = limit;
        lowered.rlim_cur = 64;
        QVERIFY(::prlimit(privileged, RLIMIT_NOFILE, &lowered, nullptr) == 0);
        const QString reply = AXUserCommand::removeUserFolder(name, base);
        ::prlimit(privileged, RLIMIT_NOFILE, &limit, nullptr);
        QCOMPARE(reply, QStringLiteral("Error: cannot unshare user folder"));
        QVERIFY(!QFileInfo::exists(deep));
        QVERIFY(QFileInfo::exists(mountPoint + QStringLiteral("/canary")));
    }

    // The user may write in the folder and put links in it, or swap the folder for one: access
    // lists and deletion never go through them.
    void linksAreNeverFollowed()
    {
        const QString name = prefix + "a", folder = base + '/' + name, outside = scratch->filePath("outside");
        const QString kept = outside + "/inner/kept";
        QVERIFY(QDir().mkpath(outside + "/inner") && writeFile(kept, "x"));
        const QString before = accessList(outside);
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
        QVERIFY(QDir(folder + "/Desktop").removeRecursively() && QFile::link(outside, folder + "/Desktop"));
        QCOMPARE(AXUserCommand::createUserFolder(name, base),
                 QStringLiteral("Error: cannot share user folder: Failed SetNamedSecurityInfo"));
        QCOMPARE(accessList(outside), before);
        QVERIFY(QFile::link(kept, folder + "/to-file") && writeFile(folder + "/.hidden", "x"));
        QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Ok"));
        QVERIFY(!QFileInfo::exists(folder) && QFileInfo::exists(kept));
        QVERIFY(QFile::link(outside, folder));
        AXUserCommand::removeUserFolder(name, base);
        QVERIFY(!QFileInfo(folder).isSymLink() && QFileInfo::exists(kept));
    }

    // Last: with "/" among the operator's roots, a folder whose parent is "/" is still never
    // deleted (a fault would take this test's private /etc).
    void childrenOfTheRootStay()
    {
        QVERIFY(writeFile(programFiles.filePath("Ambrix Server/ambrix-server.ini"), "[Server]\nUserFolderRoots=/\n"));
        QCOMPARE(AXUserCommand::removeUserFolder("etc", "/"), QStringLiteral("Error: cannot unshare user folder"));
        QVERIFY(QFileInfo::exists("/etc/passwd"));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(UsersTest)
#include "tst_users.moc"
