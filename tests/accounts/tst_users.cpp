// Users, groups, membership, passwords and profile folders on real accounts and a real share
// registry, in private copies of the host's that vanish with the test; user tokens in the real
// test database.
#include "accounts/axusercommand.h"
#include "db/mysqlinfo.h"
#include "platform/logon.h"
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
        const QString verb = w.takeFirst(), a = w.value(0), b = w.value(1);
        const auto yesNo = [](bool answer) { return QString::fromLatin1(answer ? "yes" : "no"); };
        if (verb == "create")
            return AXUserCommand::createUserInGroups(a, b, w.mid(2));
        if (verb == "enable")
            return AXUserCommand::enableUser(a, b);
        if (verb == "disable")
            return AXUserCommand::disableUser(a, b);
        if (verb == "removeuser")
            return AXUserCommand::removeUser(a);
        if (verb == "reset" || verb == "change")
            return AXUserCommand::changeUserPassword(a, verb == "change" ? b : QString(), w.value(verb == "change" ? 2 : 1),
                                                     QString::fromLatin1(QTest::currentDataTag()));
        if (verb == "creategroup")
            return AXUserCommand::createGroup(a);
        if (verb == "removegroup")
            return AXUserCommand::removeGroup(a);
        if (verb == "members")
            return AXUserCommand::listGroupMembers(a);
        if (verb == "groups")
            return AXUserCommand::listGroups();
        if (verb == "ismember")
            return yesNo(AXUserCommand::isUserInGroup(a, b));
        if (verb == "folder")
            return AXUserCommand::createUserFolder(a, base);
        if (verb == "useradd")
            return run(Programs::UseraddProgram, w).succeeded() ? QString() : QStringLiteral("Error: useradd");
        if (verb == "raise") // the ordinary range moved above every account made here
            return writeFile("/etc/login.defs", loginDefs + "\nUID_MIN 59000\nGID_MIN 59000\n") ? QString() : "Error";
        // Checks through the host's own tools.
        if (verb == "member")
            return yesNo(run("/usr/bin/id", {"-nG", "--", a}).standardOutput.trimmed().split(' ').contains(b.toUtf8()));
        if (verb == "exists")
            return yesNo(run("/usr/bin/getent", {"passwd", a}).succeeded());
        if (verb == "group")
            return yesNo(run("/usr/bin/getent", {"group", a}).succeeded());
        if (verb == "password")
            return yesNo(Logon::checkPassword(a, b));
        return "unknown operation " + verb;
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
        qputenv("PROGRAMW6432", programFiles.path().toUtf8());
        QVERIFY(QDir().mkpath(programFiles.filePath(QStringLiteral("Ambrix Server"))));
        QVERIFY(writeFile(programFiles.filePath(QStringLiteral("Ambrix Server/ambrix-server.ini")),
                          "[Server]\nUserFolderRoots=\"/nonexistent," + base.toUtf8() + "\"\n"));
    }

    // Each row: set-up operations, the operation, its reply ("token" for a fresh token), and checks
    // ("!" expects "no"; "unchanged": the account files stayed as they were).
    void operations_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("checks");
        const QStringList same{"unchanged"};
        const QString unknownGroup = "Error: The group name specified by the grui*_name in the GROUP_USERS_INFO_* structure "
                                     "pointed to by the buf parameter does not exist";
        const QString denied = "Error: The user does not have access to the requested information";
        const QString invalidComputer = "Error: The computer name is invalid";
        const QString notFound = "Error: The user name could not be found";
        const QString changed = "Success: Password for user %1 changed succesfully";
        const auto row = [](const char *tag, const QStringList &setup, const QString &operation, const QString &reply,
                            const QStringList &checks) { QTest::newRow(tag) << setup << operation << reply << checks; };
        row("create in two groups", {}, "create %1n1 Pass-word1 %1g %1g2", "token",
            {"member %1n1 %1g", "member %1n1 %1g2", "member %1n1 users", "password %1n1 Pass-word1", "!password %1n1 pass-word1"});
        // Only the last addition counts for the reply; a failed one leaves the account in place.
        row("create, first group missing", {}, "create %1n2 Pass-word1 %1none %1g2", "token", {"member %1n2 %1g2"});
        row("create, second group missing", {}, "create %1n3 Pass-word1 %1g %1none", unknownGroup,
            {"member %1n3 %1g", "password %1n3 Pass-word1"});
        row("create an existing account", {}, "create %1a Pass-word1 %1g2", "Error: User already exists", same);
        row("create an account with a group of its name", {}, "create %1priv Pass-word1 %1g2", "Error: User already exists", same);
        row("create with a leading dash", {}, "create -%1 Pass-word1 %1g2", "Error: Unknown error creating user (Error: 2202)", same);
        row("create with a group's name", {}, "create %1g2 Pass-word1", "Error: Unknown error creating user (Error: 2223)", same);
        // chpasswd reads lines: a line break would set a password the console never sent.
        row("create with a line break in the password", {}, "create %1nl Pass\nword %1g2", "Error: Invalid password", same);
        // Enabling always works on this computer's groups, whatever LOGONSERVER says.
        row("enable", {"creategroup %1e"}, "@elsewhere enable %1b %1e", "token", {"member %1b %1e"});
        row("enable, empty group", {}, "enable %1b", "Error: Ambrix group is not defined", same);
        row("enable, unknown group", {}, "enable %1b %1none", unknownGroup, same);
        row("disable", {"creategroup %1d", "enable %1b %1d"}, "disable %1b %1d", "Success: User %1b disabled succesfully",
            {"!member %1b %1d", "exists %1b"});
        row("disable, not a member", {}, "disable %1b %1g", "Error: Cannot disable user %1b", same);
        row("remove", {"create %1gone Secret-1 %1g"}, "removeuser %1gone", "Success: User %1gone removed succesfully",
            {"!exists %1gone", "group %1g"});
        row("remove, unknown", {}, "removeuser %1gone2", notFound, same);
        row("remove, option-like name", {}, "removeuser -r", notFound, same);
        row("reset, unknown", {}, "reset %1gone2 New-pass2", notFound, same);
        row("remove on this host named with backslashes", {"create %1here Secret-1"}, "@ removeuser %1here",
            "Success: User %1here removed succesfully", {"!exists %1here"});
        row("other logon server: remove", {}, "@other removeuser %1a", invalidComputer, same);
        row("other logon server: create", {}, "@other create %1n4 Pass-word1", "Error: Unknown error creating user (Error: 2351)", same);
        row("other logon server: remove group", {}, "@other removegroup %1g", invalidComputer, same);
        row("other logon server: groups", {}, "@other groups", "Error: Unknown error listing groups (2351)", same);
        row("other logon server: members", {}, "@other members %1g", "", same);
        row("other logon server: disable", {}, "@other disable %1a %1c", "Error: Cannot disable user %1a", same);
        row("other logon server: change", {}, "@other change %1a Secret-1 Other-2", "Error: Cannot change password",
            {"unchanged", "password %1a Secret-1"});
        row("right old password", {"create %1pw1 Old-pass1"}, "change %1pw1 Old-pass1 New-pass2", changed.arg("%1pw1"),
            {"password %1pw1 New-pass2", "!password %1pw1 Old-pass1"});
        row("wrong old password", {}, "change %1a secret-1 New-pass2", "Error: Cannot change password",
            {"unchanged", "password %1a Secret-1"});
        row("administrator reset", {"create %1pw2 Old-pass1"}, "reset %1pw2 New-pass2", changed.arg("%1pw2"),
            {"password %1pw2 New-pass2"});
        row("reset to nothing", {}, "reset %1a", "Error: Invalid password", same);
        row("reset with a line break", {}, "reset %1a New\npass", "Error: Invalid password", same);
        row("create group", {}, "creategroup %1t", "", {"group %1t"});
        row("create an existing group", {}, "creategroup %1g", "Error: Group already exists", same);
        row("create a group with a bad name", {}, "creategroup %1:bad", "Error: Unknown error creating group", same);
        row("create a group without a name", {}, "creategroup", "Error: Unknown error creating group", same);
        row("remove group", {"creategroup %1t2"}, "removegroup %1t2", "Success: Group %1t2 removed succesfully", {"!group %1t2"});
        row("remove an unknown group", {}, "removegroup %1t3", "Error: The group name could not be found", same);
        row("remove someone's primary group", {}, "removegroup %1c", "Error: Unknown error removing group", same);
        row("members, then by primary group", {}, "members %1c", "%1z,%1a,%1p", {});
        row("member in other letter case", {}, "ismember " + prefix.toUpper() + "A %1c", "yes", {});
        row("member by primary group", {}, "ismember %1p %1c", "yes", {});
        row("name's start is no member", {}, "ismember %1 %1c", "no", {});
        row("member of an unknown group", {}, "ismember %1a %1none", "no", {});
        row("empty name is no member", {}, "ismember  %1c", "no", {});
        // The host itself is not the platform's: its accounts and groups are refused before any tool
        // runs, with each table's access-denied text.
        row("create over root", {}, "create root Pass-word1 %1g", "Error: Unknown error creating user (Error: 5)", same);
        row("join sudo", {}, "enable %1b sudo", denied, same);
        row("join shadow", {}, "enable %1b shadow", denied, same);
        row("system account joins", {}, "enable daemon %1g", denied, same);
        row("leave a system group", {}, "disable daemon daemon", "Error: Cannot disable user daemon", same);
        row("remove a system account", {}, "removeuser daemon", denied, same);
        row("reset root's password", {}, "reset root Pass-word1", "Error: Unknown error changing user password", same);
        row("change root's password", {}, "change root x Pass-word1", "Error: Cannot change password", same);
        row("create a system group", {}, "creategroup disk", "Error: Unknown error creating group", same);
        row("remove a system group", {}, "removegroup sudo", denied, same);
        row("profile of a system account", {}, "folder bin", "Ok", same);
        // The range is the host's: raised above an account, that account is out of reach too.
        row("range from login.defs", {"raise"}, "enable %1b %1g2", denied, same);
    }

    void operations()
    {
        QFETCH(QStringList, setup);
        QFETCH(QString, operation);
        QFETCH(QString, reply);
        QFETCH(QStringList, checks);
        const auto restoreDefs = qScopeGuard([this] { writeFile("/etc/login.defs", loginDefs); });
        for (const QString &step : setup) {
            const QString done = perform(step);
            QVERIFY2(!done.startsWith("Error"), qPrintable(step + ": " + done));
        }
        const QList<QByteArray> before = readAll(accountFiles);
        const QString answer = perform(operation);
        if (reply == "token")
            QVERIFY2(tokenForm.match(answer).hasMatch(), qPrintable(answer));
        else
            QCOMPARE(answer, QString(reply).replace("%1", prefix));
        for (const QString &check : checks) {
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

    void passwordChecks_data()
    {
        QTest::addColumn<QStringList>("chageArgs"); // how the account is changed first, if at all
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("logsOn");
        QTest::addColumn<bool>("isCurrent");
        QTest::newRow("right") << QStringList() << "Right-pass1" << true << true;
        QTest::newRow("NUL cuts nothing short") << QStringList() << QStringLiteral("Right-pass1") + QChar(0) + "x"
                                                << false << false;
        // A password that must be changed still proves who is changing it.
        QTest::newRow("expired password") << QStringList{"-d", "0"} << "Right-pass1" << false << true;
        QTest::newRow("expired account") << QStringList{"-E", "1"} << "Right-pass1" << false << false;
    }

    void passwordChecks()
    {
        QFETCH(QStringList, chageArgs);
        QFETCH(QString, password);
        QFETCH(bool, logsOn);
        QFETCH(bool, isCurrent);
        static int row = 0;
        const QString userName = prefix + "pam" + QString::number(++row);
        QCOMPARE(AXUserCommand::createUser(userName, "Right-pass1"), QString());
        if (!chageArgs.isEmpty())
            QVERIFY(run("/usr/bin/chage", chageArgs << userName).succeeded());
        QCOMPARE(Logon::checkPassword(userName, password), logsOn);
        QCOMPARE(Logon::checkCurrentPassword(userName, password), isCurrent);
        QCOMPARE(AXUserCommand::changeUserPassword(userName, password, "Next-pass2", userName).startsWith("Success"), isCurrent);
        QVERIFY(!Logon::checkPassword(prefix + "nobody", password));
    }

    // A quote in a name is just a character: only that user's row changes.
    void tokens()
    {
        const TestDbParameters p = testDbParameters();
        MySqlInfo db(p.host, p.port);
        QVERIFY(db.openDatabase(p.user, p.password, QStringLiteral("7")));
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

    // Reached through a link that resolves into a folder root: the folder, its sub-folders and
    // their access lists, the share and the account's home; again, only the share fails; removal
    // takes it all. An unknown user's folder is made and shared all the same.
    void folderMadeSharedAndRemoved()
    {
        const QString name = prefix + "a", folder = base + '/' + name, inside = scratch->filePath("inside");
        const QStringList subFolders = {"AppData", "Contacts", "Desktop", "Documents", "Downloads", "Favorites", "Links",
                                        "Music", "Pictures", "Saved Games", "Searches", "Start Menu", "Videos"};
        QVERIFY(QFile::link(base, inside));
        QCOMPARE(AXUserCommand::createUserFolder(name, inside), QStringLiteral("Ok"));
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
        QCOMPARE(AXUserCommand::removeUserFolder(name, inside), QStringLiteral("Ok"));
        QVERIFY(!QFileInfo::exists(folder) && !share(name).succeeded() && QFileInfo::exists(base));

        QCOMPARE(AXUserCommand::createUserFolder(prefix + "unknown", base), QStringLiteral("Ok"));
        QVERIFY(share(prefix + "unknown").succeeded() && QFileInfo(base + '/' + prefix + "unknown/Desktop").isDir());
    }

    // Only a plain name within the operator's folder roots: elsewhere nothing is created, secured,
    // shared, deleted or changed on the account, wherever a link leads. /etc is this test's private
    // copy, so a fault here could not hurt the host.
    void foldersOutsideTheRootsAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("baseFolder"); // in the scratch directory, or absolute; "->X": a link to X
        for (const char *name : {"", ".", "..", "a/b", "../profiles", "/etc"})
            QTest::newRow(*name ? name : "empty name") << QString::fromLatin1(name) << "profiles";
        for (const char *base : {"profiles/missing", "elsewhere", "/etc", "profiles/..", "->/etc", "/", "//", "/tmp/..", "->/"})
            QTest::newRow(base) << prefix + "a" << QString::fromLatin1(base);
        QTest::newRow("nologin in /etc") << "nologin" << "/etc";
    }

    void foldersOutsideTheRootsAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, baseFolder);
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
        rlimit limit{}, lowered{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        lowered = limit;
        lowered.rlim_cur = 64;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        const QString reply = AXUserCommand::removeUserFolder(name, base);
        ::setrlimit(RLIMIT_NOFILE, &limit);
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
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(UsersTest)
#include "tst_users.moc"
