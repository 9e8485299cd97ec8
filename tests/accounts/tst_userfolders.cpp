// Users' profile folders: creation, access lists, shares and removal, on real accounts and a
// real share registry in private copies of the host's.
#include "accounts/axusercommand.h"
#include "accounts/userfolder.h"
#include "platform/programs.h"
#include "privateaccounts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList subFolders = {"AppData",  "Contacts", "Desktop",     "Documents", "Downloads",
                                "Favorites", "Links",    "Music",       "Pictures",  "Saved Games",
                                "Searches",  "Start Menu", "Videos"};

QString output(const QString &program, const QStringList &args, int *exitCode = nullptr)
{
    const Programs::Result result = Programs::run(program, args, 30000);
    if (exitCode)
        *exitCode = result.exitCode;
    return QString::fromUtf8(result.standardOutput);
}

QString accessList(const QString &path)
{
    return output(QStringLiteral("/usr/bin/getfacl"), {QStringLiteral("--omit-header"), path});
}

QString exclusiveAccessList(const QString &user)
{
    return QStringLiteral("user::rwx\nuser:%1:rwx\ngroup::---\nmask::rwx\nother::---\n\n").arg(user);
}

bool shareExists(const QString &name)
{
    int exitCode = -1;
    output(QString::fromLatin1(Programs::NetProgram), {QStringLiteral("conf"), QStringLiteral("showshare"), name}, &exitCode);
    return exitCode == 0;
}

QString shareDefinition(const QString &name)
{
    return output(QString::fromLatin1(Programs::NetProgram), {QStringLiteral("conf"), QStringLiteral("showshare"), name});
}

void writeFile(const QString &path, const QByteArray &content = "canary")
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class UserFoldersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void createSecureShareAndRemove();
    void unknownUserIsStillSharedAndOk();
    void missingBaseFolder_data();
    void missingBaseFolder();
    void removeWithoutShareStillDeletes();
    void namesOutsideTheBaseAreRefused_data();
    void namesOutsideTheBaseAreRefused();
    void topLevelFoldersAreNeverDeleted_data();
    void topLevelFoldersAreNeverDeleted();
    void accessListsDoNotFollowLinks();
    void removalDoesNotFollowLinks();
    void networkPathsUseTheSimplifiedNames();

private:
    QString user(const QString &suffix);

    QString prefix;
    QStringList users;
    std::unique_ptr<QTemporaryDir> scratch;
    QString base;
};

void UserFoldersTest::initTestCase()
{
    prefix = QStringLiteral("axt%1").arg(QCoreApplication::applicationPid());
    qunsetenv("LOGONSERVER");
    qunsetenv("COMPUTERNAME");
}

void UserFoldersTest::init()
{
    scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid());
    base = scratch->filePath(QStringLiteral("profiles"));
    QVERIFY(QDir().mkdir(base));
}

void UserFoldersTest::cleanup()
{
    for (const QString &name : qAsConst(users)) {
        Programs::run(QString::fromLatin1(Programs::NetProgram), {QStringLiteral("conf"), QStringLiteral("delshare"), name}, 30000);
        Programs::run(QString::fromLatin1(Programs::UserdelProgram), {QStringLiteral("--"), name}, 30000);
    }
    users.clear();
    scratch.reset();
}

QString UserFoldersTest::user(const QString &suffix)
{
    const QString name = prefix + suffix;
    users.append(name);
    if (!suffix.startsWith(QLatin1String("unknown")))
        AXUserCommand::createUser(name, QStringLiteral("Pass-word1"));
    return name;
}

void UserFoldersTest::createSecureShareAndRemove()
{
    const QString name = user(QStringLiteral("f"));
    const QString folder = base + '/' + name;
    QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));

    QCOMPARE(QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), subFolders);
    for (const QString &sub : subFolders)
        QCOMPARE(accessList(folder + '/' + sub), exclusiveAccessList(name));
    QCOMPARE(accessList(folder), exclusiveAccessList(name));

    const QString share = shareDefinition(name);
    QVERIFY2(share.contains(QStringLiteral("\tpath = %1\n").arg(folder)), qPrintable(share));
    QVERIFY2(share.contains(QStringLiteral("\tcomment = %1\n").arg(name)), qPrintable(share));
    QVERIFY2(share.contains(QLatin1String("\tmax connections = 4\n")), qPrintable(share));
    QVERIFY2(share.contains(QLatin1String("\tread only = no\n")), qPrintable(share));
    QVERIFY2(share.contains(QLatin1String("\tguest ok = no\n")), qPrintable(share));

    const QStringList account = output(QStringLiteral("/usr/bin/getent"), {QStringLiteral("passwd"), name})
                                    .trimmed().split(':');
    QCOMPARE(account.value(5), folder);

    // Again: everything is in place, and only the share fails, with nothing else to report.
    QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Error: cannot share user folder: "));
    QCOMPARE(accessList(folder + QStringLiteral("/Start Menu")), exclusiveAccessList(name));

    writeFile(folder + QStringLiteral("/Documents/letter.txt"));
    QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Ok"));
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!shareExists(name));
    QVERIFY(QFileInfo::exists(base));
}

void UserFoldersTest::unknownUserIsStillSharedAndOk()
{
    const QString name = user(QStringLiteral("unknown"));
    QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Ok"));
    for (const QString &sub : subFolders)
        QVERIFY(QFileInfo(base + '/' + name + '/' + sub).isDir());
    QVERIFY(shareExists(name));
    QVERIFY(!accessList(base + '/' + name).contains(QLatin1String("user:" ) + name));
}

void UserFoldersTest::missingBaseFolder_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("problems"); // %1 is the user name
    QStringList unsecured;
    for (int i = 0; i < 14; ++i)
        unsecured.append(QStringLiteral("Failed SetNamedSecurityInfo"));
    QTest::newRow("existing user") << "known" << unsecured.join(',');
    QTest::newRow("unknown user") << "unknown"
                                  << "Cannot set profile on user (Error 2221),getSid error 1332 (username=%1)";
}

void UserFoldersTest::missingBaseFolder()
{
    QFETCH(QString, suffix);
    QFETCH(QString, problems);
    const QString name = user(suffix);
    const QString missing = base + QStringLiteral("/missing");
    QCOMPARE(AXUserCommand::createUserFolder(name, missing),
             QStringLiteral("Error: cannot share user folder: ") + QString(problems).replace("%1", name));
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(!shareExists(name));
}

void UserFoldersTest::removeWithoutShareStillDeletes()
{
    const QString name = user(QStringLiteral("noshare"));
    const QString folder = base + '/' + name;
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/Desktop/deep/deeper")));
    writeFile(folder + QStringLiteral("/Desktop/deep/deeper/file"));
    writeFile(folder + QStringLiteral("/.hidden"));
    QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Error: cannot unshare user folder"));
    QVERIFY(!QFileInfo::exists(folder));
}

void UserFoldersTest::namesOutsideTheBaseAreRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("empty") << "";
    QTest::newRow("dot") << ".";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("slash inside") << "a/b";
    QTest::newRow("climbing") << "../profiles";
    QTest::newRow("absolute") << "/etc";
}

void UserFoldersTest::namesOutsideTheBaseAreRefused()
{
    QFETCH(QString, name);
    writeFile(base + QStringLiteral("/canary"));
    writeFile(scratch->filePath(QStringLiteral("canary")));
    QVERIFY(QDir().mkpath(base + QStringLiteral("/a/b")));
    QCOMPARE(AXUserCommand::removeUserFolder(name, base), QStringLiteral("Error: cannot unshare user folder"));
    QCOMPARE(AXUserCommand::createUserFolder(name, base), QStringLiteral("Error: cannot share user folder: "));
    QVERIFY(QFileInfo::exists(base + QStringLiteral("/canary")));
    QVERIFY(QFileInfo::exists(scratch->filePath(QStringLiteral("canary"))));
    QVERIFY(QFileInfo(base + QStringLiteral("/a/b")).isDir());
    QCOMPARE(QDir(base + QStringLiteral("/a/b")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    QVERIFY(QFileInfo::exists(QStringLiteral("/etc/passwd")));
}

void UserFoldersTest::topLevelFoldersAreNeverDeleted_data()
{
    QTest::addColumn<QString>("baseFolder"); // "link" stands for a link to "/"
    QTest::newRow("root") << "/";
    QTest::newRow("root written twice") << "//";
    QTest::newRow("climbing to the root") << "/tmp/..";
    QTest::newRow("link to the root") << "link";
}

void UserFoldersTest::topLevelFoldersAreNeverDeleted()
{
    QFETCH(QString, baseFolder);
    if (baseFolder == QLatin1String("link")) {
        baseFolder = scratch->filePath(QStringLiteral("root"));
        QVERIFY(QFile::link(QStringLiteral("/"), baseFolder));
    }
    // /etc is this test's private copy, so a fault here could not hurt the host.
    QCOMPARE(AXUserCommand::removeUserFolder(QStringLiteral("etc"), baseFolder),
             QStringLiteral("Error: cannot unshare user folder"));
    QVERIFY(QFileInfo::exists(QStringLiteral("/etc/passwd")));
}

void UserFoldersTest::accessListsDoNotFollowLinks()
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

void UserFoldersTest::removalDoesNotFollowLinks()
{
    const QString outside = scratch->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside + QStringLiteral("/inner")));
    writeFile(outside + QStringLiteral("/inner/kept"));

    const QString name = user(QStringLiteral("links"));
    const QString folder = base + '/' + name;
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/Documents")));
    QVERIFY(QFile::link(outside, folder + QStringLiteral("/Documents/to-dir")));
    QVERIFY(QFile::link(outside + QStringLiteral("/inner/kept"), folder + QStringLiteral("/to-file")));
    AXUserCommand::removeUserFolder(name, base);
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/inner/kept")));

    // The user folder itself a link: the link goes, not what it points to.
    QVERIFY(QFile::link(outside, folder));
    AXUserCommand::removeUserFolder(name, base);
    QVERIFY(!QFileInfo(folder).isSymLink());
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/inner/kept")));
}

void UserFoldersTest::networkPathsUseTheSimplifiedNames()
{
    const UserFolder folder(QStringLiteral(" Bob  Smith "), QStringLiteral("/srv/profiles"));
    QCOMPARE(folder.homeSharePath(QStringLiteral(" HOST ")), QStringLiteral("\\\\HOST\\Bob Smith"));
    QCOMPARE(folder.profilePath(QStringLiteral("HOST")), QStringLiteral("\\\\HOST\\Bob Smith\\profile"));
    QCOMPARE(folder.path(), QStringLiteral("/srv/profiles/ Bob  Smith "));
}

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(UserFoldersTest)
#include "tst_userfolders.moc"
