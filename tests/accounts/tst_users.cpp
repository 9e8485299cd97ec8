// Users, groups, membership and passwords on real accounts, in a private copy of the host's
// account database.
#include "accounts/axusercommand.h"
#include "platform/accounts.h"
#include "platform/logon.h"
#include "platform/programs.h"
#include "privateaccounts.h"

#include <QFile>
#include <QSysInfo>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QRegularExpression tokenForm(QStringLiteral("^[A-Za-z0-9]{64}$"));

bool isMember(const QString &user, const QString &group)
{
    return Accounts::groupMembers(QString(), group).names.contains(user);
}

bool exists(const QString &user)
{
    return Accounts::lookupAccount(user).status == 0;
}

} // namespace

class UsersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void createUser_data();
    void createUser();
    void failedCreationLeavesNothing_data();
    void failedCreationLeavesNothing();
    void enableUser_data();
    void enableUser();
    void disableUser_data();
    void disableUser();
    void removeUser();
    void otherLogonServerIsRefused();
    void changePassword_data();
    void changePassword();
    void passwordChecks_data();
    void passwordChecks();
    void createAndRemoveGroups();
    void memberListing();
    void groupListingFollowsTheDatabaseAndStopsAtAThousand();
    void getSid();

private:
    QString name(const QString &suffix) { return prefix + suffix; }
    QString withPrefix(QString text) { return text.replace(QLatin1String("%1"), prefix); }
    QString user(const QString &suffix, const QString &password = QStringLiteral("Secret-1"));
    QString group(const QString &suffix);

    QString prefix;
    QStringList users;
    QStringList groups;
};

void UsersTest::initTestCase()
{
    // Never the host's accounts: /etc must be the private copy.
    struct stat etc, root;
    QVERIFY(stat("/etc", &etc) == 0 && stat("/", &root) == 0);
    QVERIFY(etc.st_dev != root.st_dev);
    prefix = QStringLiteral("axt%1").arg(QCoreApplication::applicationPid());
    qunsetenv("LOGONSERVER");
}

void UsersTest::cleanup()
{
    qunsetenv("LOGONSERVER");
    for (const QString &name : qAsConst(users))
        Programs::run(QString::fromLatin1(Programs::UserdelProgram), {QStringLiteral("--"), name}, 30000);
    for (const QString &name : qAsConst(groups))
        Programs::run(QString::fromLatin1(Programs::GroupdelProgram), {QStringLiteral("--"), name}, 30000);
    users.clear();
    groups.clear();
}

QString UsersTest::user(const QString &suffix, const QString &password)
{
    const QString userName = name(suffix);
    users.append(userName);
    const QString reply = AXUserCommand::createUser(userName, password);
    if (!reply.isEmpty())
        qWarning("creating %s: %s", qPrintable(userName), qPrintable(reply));
    return userName;
}

QString UsersTest::group(const QString &suffix)
{
    const QString groupName = name(suffix);
    groups.append(groupName);
    const QString reply = AXUserCommand::createGroup(groupName);
    if (!reply.isEmpty())
        qWarning("creating %s: %s", qPrintable(groupName), qPrintable(reply));
    return groupName;
}

void UsersTest::createUser_data()
{
    QTest::addColumn<QStringList>("groupSuffixes"); // "-" stands for a group that does not exist
    QTest::addColumn<bool>("tokenExpected");
    QTest::addColumn<QStringList>("memberOf");
    QTest::newRow("three parameters") << QStringList{"g1"} << true << QStringList{"g1"};
    QTest::newRow("four parameters") << QStringList{"g1", "g2"} << true << QStringList{"g1", "g2"};
    // Only the second addition counts for the reply.
    QTest::newRow("first group missing") << QStringList{"-", "g2"} << true << QStringList{"g2"};
    QTest::newRow("second group missing") << QStringList{"g1", "-"} << false << QStringList{"g1"};
    QTest::newRow("empty second group") << QStringList{"g1", ""} << false << QStringList{"g1"};
}

void UsersTest::createUser()
{
    QFETCH(QStringList, groupSuffixes);
    QFETCH(bool, tokenExpected);
    QFETCH(QStringList, memberOf);
    QStringList groupNames;
    for (const QString &suffix : groupSuffixes) {
        if (suffix == QLatin1String("-"))
            groupNames.append(name(QStringLiteral("nogroup")));
        else if (suffix.isEmpty())
            groupNames.append(QString());
        else
            groupNames.append(group(suffix));
    }
    const QString userName = name(QStringLiteral("u"));
    users.append(userName);
    const QString reply = AXUserCommand::createUserInGroups(userName, QStringLiteral("Pass-word1"), groupNames);
    QCOMPARE(tokenForm.match(reply).hasMatch(), tokenExpected);
    if (!tokenExpected)
        QVERIFY2(reply.startsWith(QLatin1String("Error: ")), qPrintable(reply));
    // A failed group addition leaves the account in place.
    QVERIFY(exists(userName));
    for (const QString &suffix : memberOf)
        QVERIFY(isMember(userName, name(suffix)));
    QVERIFY(isMember(userName, QStringLiteral("users")));
    QVERIFY(Logon::checkPassword(userName, QStringLiteral("Pass-word1")));
    QVERIFY(!Logon::checkPassword(userName, QStringLiteral("pass-word1")));
}

void UsersTest::failedCreationLeavesNothing_data()
{
    QTest::addColumn<QString>("userName"); // %1 is the test's prefix
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("reply");
    QTest::newRow("existing account") << "%1taken" << "Pass-word1" << "Error: User already exists";
    QTest::newRow("existing account with a group of its name") << "%1priv" << "Pass-word1"
                                                               << "Error: User already exists";
    QTest::newRow("blank in the name") << "%1 bad" << "Pass-word1"
                                       << "Error: Unknown error creating user (Error: 2202)";
    QTest::newRow("leading dash") << "-%1" << "Pass-word1" << "Error: Unknown error creating user (Error: 2202)";
    QTest::newRow("name of a group") << "%1grp" << "Pass-word1"
                                     << "Error: Unknown error creating user (Error: 2223)";
    // chpasswd reads lines: a line break would set a password the console never sent.
    QTest::newRow("line break in the password") << "%1nl" << "Pass\nword" << "Error: Invalid password";
}

void UsersTest::failedCreationLeavesNothing()
{
    QFETCH(QString, userName);
    QFETCH(QString, password);
    QFETCH(QString, reply);
    userName = withPrefix(userName);
    const QString taken = user(QStringLiteral("taken"));
    const QString groupName = group(QStringLiteral("grp"));
    // As the host's own accounts are made: with a private group of the same name.
    const QString privateGroupUser = name(QStringLiteral("priv"));
    users.append(privateGroupUser);
    groups.append(privateGroupUser);
    QVERIFY(Programs::run(QString::fromLatin1(Programs::UseraddProgram), {QStringLiteral("-M"), QStringLiteral("-U"),
                                                                privateGroupUser}, 30000).succeeded());
    users.append(userName);
    QCOMPARE(AXUserCommand::createUserInGroups(userName, password, {groupName}), reply);
    // Nothing half-made, and no group touched.
    QCOMPARE(exists(userName), userName == taken || userName == privateGroupUser);
    QCOMPARE(Accounts::groupMembers(QString(), groupName).names, QStringList());
}

void UsersTest::enableUser_data()
{
    QTest::addColumn<QString>("userSuffix");
    QTest::addColumn<QString>("groupName"); // %1 is the test's prefix
    QTest::addColumn<QString>("reply");     // "token" for a fresh token
    QTest::newRow("member added") << "u" << "%1g" << "token";
    QTest::newRow("empty group") << "u" << "" << "Error: Ambrix group is not defined";
    QTest::newRow("unknown group")
        << "u" << "%1none"
        << "Error: The group name specified by the grui*_name in the GROUP_USERS_INFO_* structure pointed "
           "to by the buf parameter does not exist";
    QTest::newRow("unknown user") << "nobody" << "%1g" << "Error: The user name could not be found";
    QTest::newRow("already a member") << "member" << "%1g"
                                      << "Error: Unknown error adding user to Ambrix default group";
    QTest::newRow("primary group") << "u" << "users" << "Error: Unknown error adding user to Ambrix default group";
}

void UsersTest::enableUser()
{
    QFETCH(QString, userSuffix);
    QFETCH(QString, groupName);
    QFETCH(QString, reply);
    user(QStringLiteral("u"));
    const QString g = group(QStringLiteral("g"));
    const QString member = user(QStringLiteral("member"));
    QVERIFY(tokenForm.match(AXUserCommand::enableUser(member, g)).hasMatch());
    // LOGONSERVER does not redirect this one: it always works on this computer's groups.
    qputenv("LOGONSERVER", "\\\\elsewhere");
    const QString answer = AXUserCommand::enableUser(name(userSuffix), withPrefix(groupName));
    if (reply == QLatin1String("token")) {
        QVERIFY2(tokenForm.match(answer).hasMatch(), qPrintable(answer));
        QVERIFY(isMember(name(userSuffix), g));
    } else {
        QCOMPARE(answer, reply);
    }
}

void UsersTest::disableUser_data()
{
    QTest::addColumn<QString>("userSuffix");
    QTest::addColumn<QString>("groupName");
    QTest::addColumn<QString>("reply");
    QTest::newRow("member") << "member" << "%1g" << "Success: User %1member disabled succesfully";
    QTest::newRow("not a member") << "u" << "%1g" << "Error: Cannot disable user %1u";
    QTest::newRow("primary group") << "u" << "users" << "Error: Cannot disable user %1u";
    QTest::newRow("unknown group") << "member" << "%1none" << "Error: Cannot disable user %1member";
    QTest::newRow("empty group") << "member" << "" << "Error: Ambrix group is not defined";
}

void UsersTest::disableUser()
{
    QFETCH(QString, userSuffix);
    QFETCH(QString, groupName);
    QFETCH(QString, reply);
    user(QStringLiteral("u"));
    const QString g = group(QStringLiteral("g"));
    const QString member = user(QStringLiteral("member"));
    AXUserCommand::enableUser(member, g);
    QCOMPARE(AXUserCommand::disableUser(name(userSuffix), withPrefix(groupName)), withPrefix(reply));
    QCOMPARE(isMember(member, g), !reply.startsWith(QLatin1String("Success")));
    QVERIFY(exists(member)); // the account itself is never locked or removed
}

void UsersTest::removeUser()
{
    const QString userName = user(QStringLiteral("Gone"));
    const QString g = group(QStringLiteral("kept"));
    AXUserCommand::enableUser(userName, g);
    // The name exactly as received in the reply.
    QCOMPARE(AXUserCommand::removeUser(userName), QStringLiteral("Success: User %1 removed succesfully").arg(userName));
    QVERIFY(!exists(userName));
    QVERIFY(!isMember(userName, g));
    QVERIFY(Accounts::groupMembers(QString(), g).status == 0);
    QCOMPARE(AXUserCommand::removeUser(userName), QStringLiteral("Error: The user name could not be found"));
    QCOMPARE(AXUserCommand::removeUser(QStringLiteral("-r")), QStringLiteral("Error: The user name could not be found"));

    // This host named with its backslashes is this host.
    const QString again = user(QStringLiteral("again"));
    qputenv("LOGONSERVER", ("\\\\" + QSysInfo::machineHostName().toUpper()).toUtf8());
    QCOMPARE(AXUserCommand::removeUser(again), QStringLiteral("Success: User %1 removed succesfully").arg(again));
}

void UsersTest::otherLogonServerIsRefused()
{
    const QString userName = user(QStringLiteral("stays"));
    const QString g = group(QStringLiteral("staysin"));
    AXUserCommand::enableUser(userName, g);
    qputenv("LOGONSERVER", "\\\\someotherhost");
    QCOMPARE(AXUserCommand::removeUser(userName), QStringLiteral("Error: The computer name is invalid"));
    QCOMPARE(AXUserCommand::createUser(name(QStringLiteral("new")), QStringLiteral("Pass-word1")),
             QStringLiteral("Error: Unknown error creating user (Error: 2351)"));
    QCOMPARE(AXUserCommand::removeGroup(g), QStringLiteral("Error: The computer name is invalid"));
    QCOMPARE(AXUserCommand::listGroups(), QStringLiteral("Error: Unknown error listing groups (2351)"));
    QCOMPARE(AXUserCommand::listGroupMembers(g), QString());
    QCOMPARE(AXUserCommand::disableUser(userName, g), QStringLiteral("Error: Cannot disable user %1").arg(userName));
    qunsetenv("LOGONSERVER");
    QVERIFY(exists(userName));
    QVERIFY(!exists(name(QStringLiteral("new"))));
    QVERIFY(isMember(userName, g));
}

void UsersTest::changePassword_data()
{
    QTest::addColumn<QString>("userSuffix");
    QTest::addColumn<QString>("oldPassword");
    QTest::addColumn<QString>("newPassword");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("validPassword"); // what logs on afterwards
    const QString changed = QStringLiteral("Success: Password for user %1u changed succesfully");
    QTest::newRow("right old password") << "u" << "Old-pass1" << "New-pass2" << changed << "New-pass2";
    QTest::newRow("wrong old password") << "u" << "old-pass1" << "New-pass2" << "Error: Cannot change password"
                                        << "Old-pass1";
    QTest::newRow("unknown user") << "nobody" << "Old-pass1" << "New-pass2" << "Error: Cannot change password"
                                  << "Old-pass1";
    QTest::newRow("empty new password") << "u" << "Old-pass1" << "" << "Error: Cannot change password"
                                        << "Old-pass1";
    QTest::newRow("administrator reset") << "u" << "" << "New-pass2" << changed << "New-pass2";
    QTest::newRow("administrator reset, unknown user") << "nobody" << "" << "New-pass2"
                                                       << "Error: The user name could not be found" << "Old-pass1";
    QTest::newRow("administrator reset to nothing") << "u" << "" << "" << "Error: Invalid password" << "Old-pass1";
    QTest::newRow("administrator reset with a line break")
        << "u" << "" << "New\npass" << "Error: Invalid password" << "Old-pass1";
}

void UsersTest::changePassword()
{
    QFETCH(QString, userSuffix);
    QFETCH(QString, oldPassword);
    QFETCH(QString, newPassword);
    QFETCH(QString, reply);
    QFETCH(QString, validPassword);
    const QString userName = user(QStringLiteral("u"), QStringLiteral("Old-pass1"));
    QCOMPARE(AXUserCommand::changeUserPassword(name(userSuffix), oldPassword, newPassword), withPrefix(reply));
    QVERIFY(Logon::checkPassword(userName, validPassword));
    const QString other = validPassword == QLatin1String("Old-pass1") ? QStringLiteral("New-pass2")
                                                                      : QStringLiteral("Old-pass1");
    QVERIFY(!Logon::checkPassword(userName, other));
}

void UsersTest::passwordChecks_data()
{
    QTest::addColumn<QStringList>("chageArgs"); // how the account is changed first, if at all
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("logsOn");
    QTest::addColumn<bool>("isCurrent");
    QTest::newRow("right") << QStringList() << "Right-pass1" << true << true;
    QTest::newRow("wrong") << QStringList() << "Wrong-pass1" << false << false;
    QTest::newRow("empty") << QStringList() << "" << false << false;
    QTest::newRow("NUL cuts nothing short") << QStringList() << QStringLiteral("Right-pass1") + QChar(0) + "x"
                                            << false << false;
    // A password that must be changed still proves who is changing it.
    QTest::newRow("expired password") << QStringList{"-d", "0"} << "Right-pass1" << false << true;
    QTest::newRow("expired account") << QStringList{"-E", "1"} << "Right-pass1" << false << false;
}

void UsersTest::passwordChecks()
{
    QFETCH(QStringList, chageArgs);
    QFETCH(QString, password);
    QFETCH(bool, logsOn);
    QFETCH(bool, isCurrent);
    const QString userName = user(QStringLiteral("pam"), QStringLiteral("Right-pass1"));
    if (!chageArgs.isEmpty())
        QVERIFY(Programs::run(QStringLiteral("/usr/bin/chage"), chageArgs + QStringList{userName}, 30000).succeeded());
    QCOMPARE(Logon::checkPassword(userName, password), logsOn);
    QCOMPARE(Logon::checkCurrentPassword(userName, password), isCurrent);
    if (!password.isEmpty()) { // an empty old password is an administrator's reset
        QCOMPARE(AXUserCommand::changeUserPassword(userName, password, QStringLiteral("Next-pass2"))
                     .startsWith(QLatin1String("Success")),
                 isCurrent);
    }
    QVERIFY(!Logon::checkPassword(name(QStringLiteral("nobody")), password));
}

void UsersTest::createAndRemoveGroups()
{
    const QString g = name(QStringLiteral("team"));
    groups.append(g);
    QCOMPARE(AXUserCommand::createGroup(g), QString());
    QCOMPARE(AXUserCommand::createGroup(g), QStringLiteral("Error: Group already exists"));
    QCOMPARE(AXUserCommand::createGroup(QStringLiteral("root")), QStringLiteral("Error: Group already exists"));
    QCOMPARE(AXUserCommand::createGroup(name(QStringLiteral(" bad"))), QStringLiteral("Error: Unknown error creating group"));
    QCOMPARE(AXUserCommand::createGroup(QString()), QStringLiteral("Error: Unknown error creating group"));
    const QString userName = user(QStringLiteral("person"));
    QCOMPARE(AXUserCommand::createGroup(userName), QStringLiteral("Error: Unknown error creating group"));

    QCOMPARE(AXUserCommand::removeGroup(g), QStringLiteral("Success: Group %1 removed succesfully").arg(g));
    QCOMPARE(AXUserCommand::removeGroup(g), QStringLiteral("Error: The group name could not be found"));
    // The host keeps a group that is some account's primary group.
    QCOMPARE(AXUserCommand::removeGroup(QStringLiteral("users")), QStringLiteral("Error: Unknown error removing group"));
    QVERIFY(Accounts::groupMembers(QString(), QStringLiteral("users")).status == 0);
}

void UsersTest::memberListing()
{
    const QString g = group(QStringLiteral("crew"));
    QCOMPARE(AXUserCommand::listGroupMembers(g), QString());
    QVERIFY(!AXUserCommand::isUserInGroup(QString(), g));
    const QString second = user(QStringLiteral("zeta"));
    const QString first = user(QStringLiteral("alpha"));
    AXUserCommand::enableUser(second, g);
    AXUserCommand::enableUser(first, g);
    // A member by primary group only, as the host's own accounts often are.
    const QString primary = name(QStringLiteral("prim"));
    users.append(primary);
    QVERIFY(Programs::run(QString::fromLatin1(Programs::UseraddProgram), {QStringLiteral("-M"), QStringLiteral("-N"),
                                                                QStringLiteral("-g"), g, primary}, 30000).succeeded());
    QCOMPARE(AXUserCommand::listGroupMembers(g), QStringList({second, first, primary}).join(','));
    QVERIFY(AXUserCommand::isUserInGroup(first.toUpper(), g));
    QVERIFY(AXUserCommand::isUserInGroup(primary, g));
    QVERIFY(!AXUserCommand::isUserInGroup(name(QStringLiteral("alph")), g));
    QCOMPARE(AXUserCommand::listGroupMembers(name(QStringLiteral("nothere"))), QString());
    QVERIFY(!AXUserCommand::isUserInGroup(first, name(QStringLiteral("nothere"))));
}

void UsersTest::groupListingFollowsTheDatabaseAndStopsAtAThousand()
{
    const QString g = group(QStringLiteral("listed"));
    auto fileGroups = [] {
        QFile file(QStringLiteral("/etc/group"));
        file.open(QIODevice::ReadOnly);
        QStringList names;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                names.append(QString::fromUtf8(line.left(line.indexOf(':'))));
        }
        return names;
    };
    const QStringList names = fileGroups();
    QVERIFY(names.contains(g));
    QCOMPARE(AXUserCommand::listGroups(), names.join(','));

    // More groups than one batch: the private /etc takes them straight into its group file.
    QFile file(QStringLiteral("/etc/group"));
    const QByteArray original = [&file] { file.open(QIODevice::ReadOnly); return file.readAll(); }();
    file.close();
    QByteArray extra = original;
    for (int i = 0; i < 1000; ++i)
        extra += name(QStringLiteral("m%1").arg(i)).toUtf8() + ":x:" + QByteArray::number(70000 + i) + ":\n";
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(extra);
    file.close();
    const QStringList listed = AXUserCommand::listGroups().split(',');
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(original);
    file.close();
    QCOMPARE(listed.size(), 1000);
    QCOMPARE(listed.mid(0, names.size()), names);
    QCOMPARE(listed.last(), name(QStringLiteral("m%1").arg(999 - names.size())));
}

void UsersTest::getSid()
{
    const QString userName = user(QStringLiteral("sid"));
    QString sid;
    quint32 lastError = 0;
    QCOMPARE(AXUserCommand::getSid(userName, &sid, &lastError), 0u);
    const Programs::Result uid = Programs::run(QStringLiteral("/usr/bin/id"), {QStringLiteral("-u"), userName}, 30000);
    QCOMPARE(sid, QStringLiteral("S-1-22-1-") + QString::fromUtf8(uid.standardOutput).trimmed());
    QCOMPARE(AXUserCommand::getSid(name(QStringLiteral("nosid")), &sid, &lastError), 0x80070534u);
    QCOMPARE(lastError, 1332u);
    QCOMPARE(AXUserCommand::getSid(QString(), &sid), 0xC00E0006u);
    QCOMPARE(AXUserCommand::getSid(userName, nullptr), 0xC00E0006u);
}

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(UsersTest)
#include "tst_users.moc"
