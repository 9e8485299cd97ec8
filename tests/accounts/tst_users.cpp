// Users, groups, membership, passwords and profile folders on real accounts and a real share
// registry, in private copies of the host's; user tokens in the real test database.
#include "accounts/axusercommand.h"
#include "accounts/userfolder.h"
#include "db/mysqlinfo.h"
#include "platform/accounts.h"
#include "platform/logon.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testfiles.h"
#include "testserver.h"

#include <QSysInfo>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QRegularExpression tokenForm(QStringLiteral("^[A-Za-z0-9]{64}$"));
const QStringList subFolders = {"AppData",  "Contacts", "Desktop",     "Documents", "Downloads",
                                "Favorites", "Links",    "Music",       "Pictures",  "Saved Games",
                                "Searches",  "Start Menu", "Videos"};

bool isMember(const QString &user, const QString &group)
{
    return Accounts::groupMembers(QString(), group).names.contains(user);
}

bool exists(const QString &user)
{
    return Accounts::lookupAccount(user).status == 0;
}

Programs::Result run(const char *program, const QStringList &args)
{
    return Programs::run(QString::fromLatin1(program), args, 30000);
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

} // namespace

class UsersTest : public QObject
{
    Q_OBJECT

    QString name(const QString &suffix) const { return prefix + suffix; }
    QString withPrefix(QString text) const { return text.replace(QLatin1String("%1"), prefix); }

    // Names starting "unknown" get no account.
    QString user(const QString &suffix, const QString &password = QStringLiteral("Secret-1"))
    {
        users.append(name(suffix));
        const QString reply = suffix.startsWith(QLatin1String("unknown")) ? QString()
                                                                          : AXUserCommand::createUser(name(suffix), password);
        if (!reply.isEmpty())
            qWarning("creating %s: %s", qPrintable(name(suffix)), qPrintable(reply));
        return name(suffix);
    }

    QString group(const QString &suffix)
    {
        groups.append(name(suffix));
        AXUserCommand::createGroup(name(suffix));
        return name(suffix);
    }

    const QString prefix = QStringLiteral("axt%1").arg(QCoreApplication::applicationPid());
    QStringList users;
    QStringList groups;
    std::unique_ptr<QTemporaryDir> scratch;
    QString base; // of profile folders, the one folder root
    QTemporaryDir programFiles; // PROGRAMW6432: the settings naming the folder roots
    TestDatabase fixture;
    std::unique_ptr<MySqlInfo> db;

private slots:
    void initTestCase()
    {
        // Never the host's accounts: /etc must be the private copy.
        struct stat etc, root;
        QVERIFY(stat("/etc", &etc) == 0 && stat("/", &root) == 0);
        QVERIFY(etc.st_dev != root.st_dev);
        qunsetenv("LOGONSERVER");
        qunsetenv("COMPUTERNAME");
        QVERIFY2(fixture.execAll({"INSERT INTO ax_user (username, token) VALUES ('" + name("tok")
                                  + "', 'before'), (" + MySqlInfo::quote(name("o'q")) + ", 'before')"}),
                 qPrintable(fixture.lastError()));
        const TestDbParameters p = testDbParameters();
        db = std::make_unique<MySqlInfo>(p.host, p.port);
        QVERIFY(db->openDatabase(p.user, p.password, QStringLiteral("7")));
    }

    void cleanupTestCase() { fixture.exec("DELETE FROM ax_user WHERE username LIKE '" + prefix + "%'"); }

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

    void cleanup()
    {
        qunsetenv("LOGONSERVER");
        for (const QString &name : qAsConst(users)) {
            run(Programs::NetProgram, {QStringLiteral("conf"), QStringLiteral("delshare"), name});
            run(Programs::UserdelProgram, {QStringLiteral("--"), name});
        }
        for (const QString &name : qAsConst(groups))
            run(Programs::GroupdelProgram, {QStringLiteral("--"), name});
        users.clear();
        groups.clear();
        scratch.reset();
    }

    void createUser_data()
    {
        QTest::addColumn<QStringList>("groupSuffixes"); // "-" stands for a group that does not exist
        QTest::addColumn<bool>("tokenExpected");
        QTest::addColumn<QStringList>("memberOf");
        QTest::newRow("two groups") << QStringList{"g1", "g2"} << true << QStringList{"g1", "g2"};
        // Only the last addition counts for the reply.
        QTest::newRow("first group missing") << QStringList{"-", "g2"} << true << QStringList{"g2"};
        QTest::newRow("second group missing") << QStringList{"g1", "-"} << false << QStringList{"g1"};
    }

    void createUser()
    {
        QFETCH(QStringList, groupSuffixes);
        QFETCH(bool, tokenExpected);
        QFETCH(QStringList, memberOf);
        QStringList groupNames;
        for (const QString &suffix : groupSuffixes)
            groupNames.append(suffix == QLatin1String("-") ? name(QStringLiteral("nogroup")) : group(suffix));
        const QString userName = name(QStringLiteral("u"));
        users.append(userName);
        const QString reply = AXUserCommand::createUserInGroups(userName, QStringLiteral("Pass-word1"), groupNames);
        QCOMPARE(tokenForm.match(reply).hasMatch(), tokenExpected);
        QVERIFY2(tokenExpected || reply.startsWith(QLatin1String("Error: ")), qPrintable(reply));
        // A failed group addition leaves the account in place.
        for (const QString &suffix : memberOf)
            QVERIFY(isMember(userName, name(suffix)));
        QVERIFY(isMember(userName, QStringLiteral("users")));
        QVERIFY(Logon::checkPassword(userName, QStringLiteral("Pass-word1")));
        QVERIFY(!Logon::checkPassword(userName, QStringLiteral("pass-word1")));
    }

    void failedCreationLeavesNothing_data()
    {
        QTest::addColumn<QString>("userName"); // %1 is the test's prefix
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("reply");
        QTest::newRow("existing account") << "%1taken" << "Pass-word1" << "Error: User already exists";
        QTest::newRow("account with a group of its name") << "%1priv" << "Pass-word1" << "Error: User already exists";
        QTest::newRow("leading dash") << "-%1" << "Pass-word1" << "Error: Unknown error creating user (Error: 2202)";
        QTest::newRow("name of a group") << "%1grp" << "Pass-word1" << "Error: Unknown error creating user (Error: 2223)";
        // chpasswd reads lines: a line break would set a password the console never sent.
        QTest::newRow("line break in the password") << "%1nl" << "Pass\nword" << "Error: Invalid password";
    }

    void failedCreationLeavesNothing()
    {
        QFETCH(QString, userName);
        QFETCH(QString, password);
        QFETCH(QString, reply);
        userName = withPrefix(userName);
        const QString taken = user(QStringLiteral("taken"));
        const QString groupName = group(QStringLiteral("grp"));
        // As the host's own accounts are made: with a private group of the same name.
        const QString privateGroupUser = name(QStringLiteral("priv"));
        users << privateGroupUser << userName;
        groups.append(privateGroupUser);
        QVERIFY(run(Programs::UseraddProgram, {"-M", "-U", privateGroupUser}).succeeded());
        QCOMPARE(AXUserCommand::createUserInGroups(userName, password, {groupName}), reply);
        // Nothing half-made, and no group touched.
        QCOMPARE(exists(userName), userName == taken || userName == privateGroupUser);
        QCOMPARE(Accounts::groupMembers(QString(), groupName).names, QStringList());
    }

    void enableAndDisable_data()
    {
        QTest::addColumn<bool>("enable");
        QTest::addColumn<QString>("userSuffix");
        QTest::addColumn<QString>("groupName"); // %1 is the test's prefix
        QTest::addColumn<QString>("reply");     // "token" for a fresh token
        QTest::newRow("enable") << true << "u" << "%1g" << "token";
        QTest::newRow("enable, empty group") << true << "u" << "" << "Error: Ambrix group is not defined";
        QTest::newRow("enable, unknown group")
            << true << "u" << "%1none"
            << "Error: The group name specified by the grui*_name in the GROUP_USERS_INFO_* structure pointed "
               "to by the buf parameter does not exist";
        QTest::newRow("disable") << false << "member" << "%1g" << "Success: User %1member disabled succesfully";
        QTest::newRow("disable, not a member") << false << "u" << "%1g" << "Error: Cannot disable user %1u";
    }

    void enableAndDisable()
    {
        QFETCH(bool, enable);
        QFETCH(QString, userSuffix);
        QFETCH(QString, groupName);
        QFETCH(QString, reply);
        user(QStringLiteral("u"));
        const QString g = group(QStringLiteral("g"));
        const QString member = user(QStringLiteral("member"));
        QVERIFY(tokenForm.match(AXUserCommand::enableUser(member, g)).hasMatch());
        const QString answer = enable ? AXUserCommand::enableUser(name(userSuffix), withPrefix(groupName))
                                      : AXUserCommand::disableUser(name(userSuffix), withPrefix(groupName));
        if (reply == QLatin1String("token"))
            QVERIFY2(tokenForm.match(answer).hasMatch() && isMember(name(userSuffix), g), qPrintable(answer));
        else
            QCOMPARE(answer, withPrefix(reply));
        QCOMPARE(isMember(member, g), enable || !reply.startsWith(QLatin1String("Success")));
        QVERIFY(exists(member)); // the account itself is never locked or removed
    }

    void removeUser()
    {
        const QString userName = user(QStringLiteral("Gone"));
        const QString g = group(QStringLiteral("kept"));
        AXUserCommand::enableUser(userName, g);
        QCOMPARE(AXUserCommand::removeUser(userName), QStringLiteral("Success: User %1 removed succesfully").arg(userName));
        QVERIFY(!exists(userName) && !isMember(userName, g));
        QVERIFY(Accounts::groupMembers(QString(), g).status == 0);
        QCOMPARE(AXUserCommand::removeUser(userName), QStringLiteral("Error: The user name could not be found"));
        QCOMPARE(AXUserCommand::removeUser(QStringLiteral("-r")), QStringLiteral("Error: The user name could not be found"));
        QCOMPARE(AXUserCommand::changeUserPassword(userName, QString(), QStringLiteral("New-pass2"), QString()),
                 QStringLiteral("Error: The user name could not be found"));

        // This host named with its backslashes is this host.
        const QString again = user(QStringLiteral("again"));
        qputenv("LOGONSERVER", ("\\\\" + QSysInfo::machineHostName().toUpper()).toUtf8());
        QCOMPARE(AXUserCommand::removeUser(again), QStringLiteral("Success: User %1 removed succesfully").arg(again));
    }

    void changePassword_data()
    {
        QTest::addColumn<QString>("oldPassword"); // empty: an administrator's reset
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<QString>("reply");
        const QString changed = QStringLiteral("Success: Password for user %1u changed succesfully");
        QTest::newRow("right old password") << "Old-pass1" << "New-pass2" << changed;
        QTest::newRow("wrong old password") << "old-pass1" << "New-pass2" << "Error: Cannot change password";
        QTest::newRow("administrator reset") << "" << "New-pass2" << changed;
        QTest::newRow("administrator reset to nothing") << "" << "" << "Error: Invalid password";
        QTest::newRow("administrator reset with a line break") << "" << "New\npass" << "Error: Invalid password";
    }

    void changePassword()
    {
        QFETCH(QString, oldPassword);
        QFETCH(QString, newPassword);
        QFETCH(QString, reply);
        const QString userName = user(QStringLiteral("u"), QStringLiteral("Old-pass1"));
        QCOMPARE(AXUserCommand::changeUserPassword(userName, oldPassword, newPassword, QString()), withPrefix(reply));
        const bool changed = reply.startsWith(QLatin1String("Success"));
        QCOMPARE(Logon::checkPassword(userName, QStringLiteral("New-pass2")), changed);
        QCOMPARE(Logon::checkPassword(userName, QStringLiteral("Old-pass1")), !changed);
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
        const QString userName = user(QStringLiteral("pam"), QStringLiteral("Right-pass1"));
        if (!chageArgs.isEmpty())
            QVERIFY(run("/usr/bin/chage", chageArgs << userName).succeeded());
        QCOMPARE(Logon::checkPassword(userName, password), logsOn);
        QCOMPARE(Logon::checkCurrentPassword(userName, password), isCurrent);
        QCOMPARE(AXUserCommand::changeUserPassword(userName, password, QStringLiteral("Next-pass2"), QString())
                     .startsWith(QLatin1String("Success")), isCurrent);
        QVERIFY(!Logon::checkPassword(name(QStringLiteral("nobody")), password));
    }

    void groupsAndMembers()
    {
        const QString second = user(QStringLiteral("zeta"));
        const QString first = user(QStringLiteral("alpha"));
        const QString g = name(QStringLiteral("team"));
        groups.append(g);
        QCOMPARE(AXUserCommand::createGroup(g), QString());
        QCOMPARE(AXUserCommand::createGroup(g), QStringLiteral("Error: Group already exists"));
        QCOMPARE(AXUserCommand::createGroup(name(QStringLiteral(" bad"))), QStringLiteral("Error: Unknown error creating group"));
        QCOMPARE(AXUserCommand::createGroup(QString()), QStringLiteral("Error: Unknown error creating group"));
        QCOMPARE(AXUserCommand::removeGroup(g), QStringLiteral("Success: Group %1 removed succesfully").arg(g));
        QCOMPARE(AXUserCommand::removeGroup(g), QStringLiteral("Error: The group name could not be found"));
        // Some account's primary group stays.
        const QString primaryOf = group(QStringLiteral("primary"));
        const QString holder = name(QStringLiteral("holder"));
        users.append(holder);
        QVERIFY(run(Programs::UseraddProgram, {"-M", "-N", "-g", primaryOf, holder}).succeeded());
        QCOMPARE(AXUserCommand::removeGroup(primaryOf), QStringLiteral("Error: Unknown error removing group"));

        const QString crew = group(QStringLiteral("crew"));
        QCOMPARE(AXUserCommand::listGroupMembers(crew), QString());
        AXUserCommand::enableUser(second, crew);
        AXUserCommand::enableUser(first, crew);
        // A member by primary group only, as the host's own accounts often are.
        const QString primary = name(QStringLiteral("prim"));
        users.append(primary);
        QVERIFY(run(Programs::UseraddProgram, {"-M", "-N", "-g", crew, primary}).succeeded());
        QCOMPARE(AXUserCommand::listGroupMembers(crew), QStringList({second, first, primary}).join(','));
        QVERIFY(AXUserCommand::isUserInGroup(first.toUpper(), crew) && AXUserCommand::isUserInGroup(primary, crew));
        QVERIFY(!AXUserCommand::isUserInGroup(name(QStringLiteral("alph")), crew));
        QVERIFY(!AXUserCommand::isUserInGroup(first, name(QStringLiteral("nothere"))));
    }

    // The platform's groups in the database's order; none of the host's own (root, sudo...).
    void groupListingFollowsTheDatabase()
    {
        const QString g = group(QStringLiteral("listed"));
        QStringList names;
        for (const QByteArray &line : readFile(QStringLiteral("/etc/group")).split('\n')) {
            const QList<QByteArray> fields = line.split(':');
            if (fields.size() > 2 && fields.at(2).toUInt() >= 1000 && fields.at(2).toUInt() <= 60000)
                names.append(QString::fromUtf8(fields.at(0)));
        }
        QVERIFY(names.contains(g));
        QCOMPARE(AXUserCommand::listGroups(), names.join(','));
    }

    // The host itself is not the platform's: its accounts and groups are refused before any tool
    // runs, with each table's access-denied text, and the account files stay as they were.
    void systemAccountsAndGroupsAreRefused_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("reply"); // %1: the test's prefix
        const QString denied = QStringLiteral("Error: The user does not have access to the requested information");
        QTest::newRow("create over root") << "create root" << "Error: Unknown error creating user (Error: 5)";
        QTest::newRow("join sudo") << "enable %1u sudo" << denied;
        QTest::newRow("join shadow") << "enable %1u shadow" << denied;
        QTest::newRow("system account joins") << "enable daemon %1g" << denied;
        QTest::newRow("leave a system group") << "disable daemon daemon" << "Error: Cannot disable user daemon";
        QTest::newRow("remove a system account") << "removeuser daemon" << denied;
        QTest::newRow("reset root's password") << "reset root" << "Error: Unknown error changing user password";
        QTest::newRow("change root's password") << "change root" << "Error: Cannot change password";
        QTest::newRow("create a system group") << "creategroup disk" << "Error: Unknown error creating group";
        QTest::newRow("remove a system group") << "removegroup sudo" << denied;
        QTest::newRow("profile of a system account") << "folder bin" << "Ok";
        // The range is the host's: raised above an account, that account is out of reach too.
        QTest::newRow("range from login.defs") << "raise enable %1u %1g" << denied;
    }

    void systemAccountsAndGroupsAreRefused()
    {
        QFETCH(QString, operation);
        QFETCH(QString, reply);
        user(QStringLiteral("u"));
        group(QStringLiteral("g"));
        const QStringList files{"/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow"};
        const QByteArray defs = readFile(QStringLiteral("/etc/login.defs"));
        auto restoreDefs = qScopeGuard([&defs] { writeFile(QStringLiteral("/etc/login.defs"), defs); });
        QStringList words = withPrefix(operation).split(' ');
        if (words.first() == QLatin1String("raise")) {
            QVERIFY(writeFile(QStringLiteral("/etc/login.defs"), defs + "\nUID_MIN 59000\nGID_MIN 59000\n"));
            words.removeFirst();
        }
        QList<QByteArray> before;
        for (const QString &file : files)
            before.append(readFile(file));
        const QString &a = words.at(1);
        const QString b = words.value(2);
        const QString verb = words.first();
        QString answer;
        if (verb == QLatin1String("create"))
            answer = AXUserCommand::createUserInGroups(a, QStringLiteral("Pass-word1"), {name(QStringLiteral("g"))});
        else if (verb == QLatin1String("enable"))
            answer = AXUserCommand::enableUser(a, b);
        else if (verb == QLatin1String("disable"))
            answer = AXUserCommand::disableUser(a, b);
        else if (verb == QLatin1String("removeuser"))
            answer = AXUserCommand::removeUser(a);
        else if (verb == QLatin1String("reset"))
            answer = AXUserCommand::changeUserPassword(a, QString(), QStringLiteral("Pass-word1"), QString());
        else if (verb == QLatin1String("change"))
            answer = AXUserCommand::changeUserPassword(a, QStringLiteral("x"), QStringLiteral("Pass-word1"), QString());
        else if (verb == QLatin1String("creategroup"))
            answer = AXUserCommand::createGroup(a);
        else if (verb == QLatin1String("removegroup"))
            answer = AXUserCommand::removeGroup(a);
        else if (verb == QLatin1String("folder"))
            answer = AXUserCommand::createUserFolder(a, base);
        QCOMPARE(answer, withPrefix(reply));
        for (int i = 0; i < files.size(); ++i)
            QVERIFY2(readFile(files.at(i)) == before.at(i), qPrintable(files.at(i)));
        QVERIFY(!AXUserCommand::listGroups().split(',').contains(QStringLiteral("sudo")));
    }

    // A quote in a name is just a character: only that user's row changes.
    void tokens()
    {
        const QString quoted = name(QStringLiteral("o'q"));
        const QString tok = name(QStringLiteral("tok"));
        QCOMPARE(AXUserCommand::userToken(db.get(), quoted), QStringLiteral("before"));
        const QString first = AXUserCommand::activateUser(db.get(), quoted);
        const QString second = AXUserCommand::activateUser(db.get(), quoted);
        QVERIFY2(tokenForm.match(first).hasMatch() && tokenForm.match(second).hasMatch() && first != second,
                 qPrintable(first + " " + second));
        QCOMPARE(AXUserCommand::userToken(db.get(), quoted), second);
        QCOMPARE(fixture.value("SELECT token FROM ax_user WHERE username=" + MySqlInfo::quote(quoted)), second);
        QCOMPARE(AXUserCommand::userToken(db.get(), tok), QStringLiteral("before"));
        const QString tokId = fixture.value("SELECT id FROM ax_user WHERE username='" + tok + "'");
        QCOMPARE(AXUserCommand::userNameById(db.get(), tokId), tok);

        // A token stored nowhere would be a password that never works: none is handed out.
        const QList<QStringList> before = fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id"));
        for (const QString &hostile : {QStringLiteral("x' OR '1'='1"), QStringLiteral("x\\' OR 1=1 -- ")}) {
            QCOMPARE(AXUserCommand::activateUser(db.get(), hostile), QString());
            QCOMPARE(AXUserCommand::userToken(db.get(), hostile), QString());
            QCOMPARE(AXUserCommand::userNameById(db.get(), tokId + hostile), QString());
        }
        QCOMPARE(AXUserCommand::userNameById(db.get(), tokId + "abc"), QString());
        QCOMPARE(fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id")), before);
        MySqlInfo closed(QStringLiteral("127.0.0.1"), TestServer::freePort());
        QCOMPARE(AXUserCommand::activateUser(&closed, quoted), QString());
        QCOMPARE(AXUserCommand::activateUser(nullptr, quoted), QString());
    }

    void createSecureShareAndRemove()
    {
        const QString name = user(QStringLiteral("f"));
        const QString folder = base + '/' + name;
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
        QCOMPARE(QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), subFolders);
        for (const QString &sub : subFolders)
            QCOMPARE(accessList(folder + '/' + sub), exclusiveAccessList(name));
        QCOMPARE(accessList(folder), exclusiveAccessList(name));
        const QString definition = QString::fromUtf8(share(name).standardOutput);
        for (const QString &line : {"path = " + folder, "comment = " + name, QStringLiteral("max connections = 4"),
                                    QStringLiteral("read only = no"), QStringLiteral("guest ok = no")})
            QVERIFY2(definition.contains('\t' + line + '\n'), qPrintable(definition));
        QCOMPARE(QString::fromUtf8(run("/usr/bin/getent", {QStringLiteral("passwd"), name}).standardOutput).section(':', 5, 5),
                 folder);

        // Again: everything is in place, and only the share fails, with nothing else to report.
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Error: cannot share user folder: "));
        QCOMPARE(accessList(folder + QStringLiteral("/Start Menu")), exclusiveAccessList(name));

        QVERIFY(writeFile(folder + QStringLiteral("/Documents/letter.txt"), "canary"));
        QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Ok"));
        QVERIFY(!QFileInfo::exists(folder) && !share(name).succeeded() && QFileInfo::exists(base));
    }

    void unknownUserFolderIsSharedAnyway()
    {
        const QString name = user(QStringLiteral("unknown"));
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
        QVERIFY(share(name).succeeded() && QFileInfo(base + '/' + name + "/Desktop").isDir());
    }

    // Only within the operator's folder roots: elsewhere nothing is created, secured, shared,
    // deleted or changed on the account, wherever a link leads.
    void baseFoldersOutsideTheRootsAreRefused_data()
    {
        QTest::addColumn<QString>("baseFolder"); // in the scratch directory, or absolute
        QTest::addColumn<QString>("linkTo");     // when set, baseFolder is made a link to it
        QTest::newRow("missing base") << "profiles/missing" << QString();
        QTest::newRow("beside the root") << "elsewhere" << QString();
        QTest::newRow("the host's /etc") << "/etc" << QString();
        QTest::newRow("above the root") << "profiles/.." << QString();
        QTest::newRow("a link out of the root") << "profiles/out" << "/etc";
    }

    void baseFoldersOutsideTheRootsAreRefused()
    {
        QFETCH(QString, baseFolder);
        QFETCH(QString, linkTo);
        const QString known = user(QStringLiteral("k"));
        const QString folder = QDir::isAbsolutePath(baseFolder) ? baseFolder : scratch->filePath(baseFolder);
        QVERIFY(QDir().mkpath(scratch->filePath(QStringLiteral("elsewhere/%1").arg(known))));
        if (!linkTo.isEmpty())
            QVERIFY(QFile::link(linkTo, folder));
        const QByteArray passwd = readFile(QStringLiteral("/etc/passwd"));
        QCOMPARE(AXUserCommand::createUserFolder(known, folder), QStringLiteral("Error: cannot share user folder: "));
        QCOMPARE(AXUserCommand::createUserFolder(QStringLiteral("nologin"), folder),
                 QStringLiteral("Error: cannot share user folder: "));
        QCOMPARE(AXUserCommand::removeUserFolder(known, folder), QStringLiteral("Error: cannot unshare user folder"));
        QVERIFY(!share(known).succeeded() && readFile(QStringLiteral("/etc/passwd")) == passwd);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/etc/nologin")) && !QFileInfo::exists(base + "/missing"));
        QVERIFY(QFileInfo(scratch->filePath(QStringLiteral("elsewhere/%1").arg(known))).isDir());
        // Reached through a link that resolves into the root, the base is the root's.
        const QString inside = scratch->filePath(QStringLiteral("inside"));
        QVERIFY(QFile::link(base, inside));
        QCOMPARE(AXUserCommand::createUserFolder(known, inside), QStringLiteral("Ok"));
        QCOMPARE(AXUserCommand::removeUserFolder(known, inside), QStringLiteral("Ok"));
        QVERIFY(!QFileInfo::exists(base + '/' + known));
    }

    // A deletion stays on the folder's file system and, however deep the tree, holds one
    // directory open at a time.
    void removalStaysOnItsFileSystem()
    {
        const QString name = user(QStringLiteral("mnt"));
        const QString folder = base + '/' + name;
        const QString mountPoint = folder + QStringLiteral("/Documents/other");
        QVERIFY(QDir().mkpath(mountPoint));
        QVERIFY(run("/bin/mount", {"-t", "tmpfs", "tmpfs", mountPoint}).succeeded());
        auto unmount = qScopeGuard([&mountPoint] { run("/bin/umount", {"-l", mountPoint}); });
        QVERIFY(writeFile(mountPoint + QStringLiteral("/canary"), "x"));
        QString deep = folder + QStringLiteral("/deep");
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

    // User names and base folders that lead elsewhere; /etc is this test's private copy, so a fault
    // here could not hurt the host.
    void pathsOutsideTheBaseAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("baseFolder"); // empty: the test's base; "link": a link to "/"
        for (const char *name : {"", ".", "..", "a/b", "../profiles", "/etc"})
            QTest::newRow(*name ? name : "empty") << QString::fromLatin1(name) << QString();
        for (const char *base : {"/", "//", "/tmp/..", "link"})
            QTest::newRow(base) << "etc" << QString::fromLatin1(base);
    }

    void pathsOutsideTheBaseAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, baseFolder);
        QVERIFY(writeFile(base + QStringLiteral("/canary"), "x") && writeFile(scratch->filePath("canary"), "x"));
        QVERIFY(QDir().mkpath(base + QStringLiteral("/a/b")));
        if (baseFolder == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("/"), baseFolder = scratch->filePath(QStringLiteral("root"))));
        QCOMPARE(AXUserCommand::removeUserFolder(name, baseFolder.isEmpty() ? base : baseFolder),
                 QStringLiteral("Error: cannot unshare user folder"));
        if (baseFolder.isEmpty())
            QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Error: cannot share user folder: "));
        QVERIFY(QFileInfo::exists(base + QStringLiteral("/canary")) && QFileInfo::exists(scratch->filePath("canary")));
        QCOMPARE(QDir(base + QStringLiteral("/a/b")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        QVERIFY(QFileInfo(base + QStringLiteral("/a/b")).isDir() && QFileInfo::exists(QStringLiteral("/etc/passwd")));
    }

    void accessListsDoNotFollowLinks()
    {
        const QString name = user(QStringLiteral("link"));
        const QString folder = base + '/' + name;
        QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
        // The user may write in the folder and swap a sub-folder for a link to somewhere else.
        const QString decoy = scratch->filePath(QStringLiteral("decoy"));
        QVERIFY(QDir().mkdir(decoy));
        const QString before = accessList(decoy);
        QVERIFY(QDir(folder + QStringLiteral("/Desktop")).removeRecursively());
        QVERIFY(QFile::link(decoy, folder + QStringLiteral("/Desktop")));
        QCOMPARE(AXUserCommand::createUserFolder(name, base),
                 QStringLiteral("Error: cannot share user folder: Failed SetNamedSecurityInfo"));
        QCOMPARE(accessList(decoy), before);
    }

    void removalDoesNotFollowLinks()
    {
        const QString outside = scratch->filePath(QStringLiteral("outside"));
        const QString kept = outside + QStringLiteral("/inner/kept");
        QVERIFY(QDir().mkpath(outside + QStringLiteral("/inner")) && writeFile(kept, "x"));
        const QString name = user(QStringLiteral("links"));
        const QString folder = base + '/' + name;
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/Documents")));
        QVERIFY(QFile::link(outside, folder + QStringLiteral("/Documents/to-dir")));
        QVERIFY(QFile::link(kept, folder + QStringLiteral("/to-file")) && writeFile(folder + "/.hidden", "x"));
        // Without a share the folder still goes.
        QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Error: cannot unshare user folder"));
        QVERIFY(!QFileInfo::exists(folder) && QFileInfo::exists(kept));

        // The user folder itself a link: the link goes, not what it points to.
        QVERIFY(QFile::link(outside, folder));
        AXUserCommand::removeUserFolder(name, base);
        QVERIFY(!QFileInfo(folder).isSymLink() && QFileInfo::exists(kept));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(UsersTest)
#include "tst_users.moc"
