// Domain accounts: every account and group command against a real, throwaway domain controller,
// through the real server's wire protocol, with LOGONSERVER naming the controller.
#include "privateaccounts.h"
#include "testdomain.h"
#include "testserver.h"

#include <QDir>
#include <QtTest>

#include <signal.h>

namespace {

const QByteArray serverToken = "T0kenForTheDomainTestsOnly0123456789abcdefghijklmnopqrstuvwxyzAB";
const QString computer = QStringLiteral("AXHOST");
const QRegularExpression tokenForm(QStringLiteral("^[A-Za-z0-9]{64}$"));

// The helper process the server started, 0 while none runs.
qint64 helperOf(qint64 serverPid)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains("(ambrix-domain)") && fields.size() > 1 && fields[1].toLongLong() == serverPid)
            return entry.toLongLong();
    }
    return 0;
}

qint64 bytesRead(qint64 pid)
{
    const QByteArray io = readFile(QStringLiteral("/proc/%1/io").arg(pid));
    const int at = io.indexOf("rchar: ");
    return at < 0 ? -1 : io.mid(at + 7, io.indexOf('\n', at) - at - 7).toLongLong();
}

} // namespace

class DomainTest : public QObject
{
    Q_OBJECT

    // Account names are at most 20 characters in a domain: a short prefix per run and per row.
    QString prefix = QStringLiteral("ax%1").arg(QCoreApplication::applicationPid() % 100000);
    int rows = 0;
    TestDomain domain;
    TestServer server;
    std::unique_ptr<TestClient> admin;
    QTemporaryDir folders;

    QString named(QString text, const QString &rowPrefix) const
    {
        return text.replace(QLatin1String("%p"), rowPrefix).replace(QLatin1String("%b"), folders.path());
    }

    QString ask(TestClient &client, const QString &request)
    {
        QByteArray reply = client.request(request.toUtf8(), 60000);
        if (reply.endsWith('\n'))
            reply.chop(1);
        return QString::fromUtf8(reply);
    }

    QStringList members(const QString &group) const
    {
        QStringList names = QString::fromUtf8(domain.tool({"group", "listmembers", group})).split('\n', Qt::SkipEmptyParts);
        names.sort();
        return names;
    }

private slots:
    void initTestCase()
    {
        if (!TestDomain::isolationError().isEmpty())
            QSKIP(qPrintable("No domain controller can run here: " + TestDomain::isolationError()));
        QString error;
        QVERIFY2(domain.start(&error), qPrintable(error));
        server.setEnv(QStringLiteral("LOGONSERVER"), QStringLiteral("\\\\") + QLatin1String(TestDomain::hostName));
        server.setEnv(QStringLiteral("KRB5_CONFIG"), domain.krb5Config());
        server.setEnv(QStringLiteral("COMPUTERNAME"), computer);
        server.setSetting(QStringLiteral("Server/DomainUser"), QStringLiteral("Administrator"));
        server.setSetting(QStringLiteral("Server/DomainPassword"), QString::fromLatin1(TestDomain::adminPassword));
        server.setSetting(QStringLiteral("Server/DomainRealm"), QString::fromLatin1(TestDomain::realm));
        server.setSetting(QStringLiteral("Server/ServerToken"), QString::fromLatin1(serverToken));
        server.setSetting(QStringLiteral("Server/UserFolderRoots"), folders.path());
        // The wrong passwords below are meant; none may hold the test's address back.
        server.setSetting(QStringLiteral("Server/LoginFailureLimit"), 1000);
        server.setSetting(QStringLiteral("Server/LoginFailureAddressLimit"), 1000);
        QVERIFY(server.start());
        admin = server.login("admin", serverToken);
        QVERIFY(admin);
        // The controller listens before its account service is up.
        QVERIFY2(waitUntil([this] { return ask(*admin, "get_group_list").contains("Domain Admins"); }, 60000),
                 server.standardError().right(2000).constData());
        // The logins' user, a member of one group and not of another.
        const QString logins = prefix + QStringLiteral("l");
        QCOMPARE(ask(*admin, "create_group?" + logins + "g") + ask(*admin, "create_group?" + logins + "o"), QString());
        QVERIFY(tokenForm.match(ask(*admin, "create_user?" + logins + "u&Pass-word1&" + logins + "g")).hasMatch());
    }

    // Each row runs its requests in order on an administrator's connection, then compares a group's
    // members in the directory itself.
    void accountCommands_data()
    {
        addRowsFrom("domain.rows", {{"nogroup", "Error: The group name specified by the grui*_name in the GROUP_USERS_INFO_* "
                                                "structure pointed to by the buf parameter does not exist"},
                                    {"denied", "Error: The user does not have access to the requested information"}});
    }

    void accountCommands()
    {
        QStringList members = field("members").split(',', Qt::SkipEmptyParts);
        const QString rowPrefix = prefix + QChar('a' + rows++);
        for (const QString &step : field("steps").split(" ; ")) {
            const QString request = named(step.section(" => ", 0, 0), rowPrefix);
            const QString expected = named(step.section(" => ", 1), rowPrefix);
            const QString reply = ask(*admin, request);
            if (expected == QLatin1String("<token>"))
                QVERIFY2(tokenForm.match(reply).hasMatch(), qPrintable(request + " => " + reply));
            else
                QCOMPARE(request + " => " + reply, request + " => " + expected);
        }
        for (QString &member : members)
            member = named(member, rowPrefix);
        members.sort();
        QCOMPARE(this->members(named(field("group"), rowPrefix)), members);
        QVERIFY(domain.logsOn(QStringLiteral("Administrator"), QString::fromLatin1(TestDomain::adminPassword)));
    }

    void passwords_data() { addRowsFrom("domain.rows"); }

    void passwords()
    {
        const QString reply = field("reply");
        const QString rowPrefix = prefix + QChar('a' + rows++);
        const QString user = named(QStringLiteral("%pu"), rowPrefix);
        QCOMPARE(ask(*admin, "create_group?" + rowPrefix + "g"), QString());
        QVERIFY(tokenForm.match(ask(*admin, "create_user?" + user + "&Old-pass1&" + rowPrefix + "g")).hasMatch());
        QCOMPARE(ask(*admin, "modify_user_password?" + user + '&' + field("oldPassword") + '&' + field("newPassword")), named(reply, rowPrefix));
        const bool changed = reply.startsWith(QLatin1String("Success"));
        const QString principal = user + '@' + TestDomain::realm;
        QCOMPARE(domain.logsOn(principal, QStringLiteral("New-pass2")), changed);
        QCOMPARE(domain.logsOn(principal, QStringLiteral("Old-pass1")), !changed);
    }

    void logins_data() { addRowsFrom("domain.rows", {{"adminPassword", TestDomain::adminPassword}}); }

    void logins()
    {
        const QString reply = field("reply"), rowPrefix = prefix + QStringLiteral("l");
        TestClient client(server.port());
        QCOMPARE(ask(client, named("login?" + field("user") + '&' + field("adminGroup") + '&' + field("password"), rowPrefix)) + '\n',
                 reply);
        // A refused password leaves the connection as it was: not logged in.
        QCOMPARE(ask(client, "get_user_list?Domain Admins") == QLatin1String("Administrator"), reply != "Error: Bad authentication\n");
    }

    // The account's home and profile are the share's paths, as the platform's other servers
    // give them; the folder and share are this host's.
    void profile()
    {
        const QString user = prefix + QStringLiteral("pu");
        QCOMPARE(ask(*admin, "create_group?" + prefix + "pg"), QString());
        QVERIFY(tokenForm.match(ask(*admin, "create_user?" + user + "&Pass-word1&" + prefix + "pg")).hasMatch());
        QCOMPARE(ask(*admin, "create_user_folder?" + user + '&' + folders.path()), QStringLiteral("Ok"));
        const QString shown = QString::fromUtf8(domain.tool({"user", "show", user}));
        QVERIFY2(shown.contains(QStringLiteral("homeDirectory: \\\\%1\\%2\n").arg(computer, user)), qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("profilePath: \\\\%1\\%2\\profile\n").arg(computer, user)), qPrintable(shown));
        QVERIFY(QFileInfo(folders.filePath(user + "/Desktop")).isDir());
    }

    // Another server naming the controller by its address reaches the same directory.
    void byAddress()
    {
        TestServer other;
        other.setEnv(QStringLiteral("LOGONSERVER"), QStringLiteral("\\\\") + QLatin1String(TestDomain::address));
        other.setSetting(QStringLiteral("Server/DomainUser"), QStringLiteral("AXTEST\\Administrator"));
        other.setSetting(QStringLiteral("Server/DomainPassword"), QString::fromLatin1(TestDomain::adminPassword));
        other.setSetting(QStringLiteral("Server/ServerToken"), QString::fromLatin1(serverToken));
        QVERIFY(other.start());
        const std::unique_ptr<TestClient> client = other.login("admin", serverToken);
        QVERIFY(client);
        QCOMPARE(ask(*client, "get_user_list?Domain Admins"), QStringLiteral("Administrator"));
    }

    // A host joined to the domain authenticates with its keytab instead of a password.
    void keytab()
    {
        const QString keytab = folders.filePath(QStringLiteral("host.keytab"));
        QVERIFY(domain.exportKeytab(QStringLiteral("Administrator@") + TestDomain::realm, keytab));
        TestServer joined;
        joined.setEnv(QStringLiteral("LOGONSERVER"), QStringLiteral("\\") + QLatin1String(TestDomain::hostName));
        joined.setEnv(QStringLiteral("KRB5_CONFIG"), domain.krb5Config());
        joined.setEnv(QStringLiteral("KRB5_KTNAME"), QStringLiteral("FILE:") + keytab);
        joined.setSetting(QStringLiteral("Server/DomainUseKerberos"), true);
        joined.setSetting(QStringLiteral("Server/DomainUser"), QStringLiteral("Administrator"));
        joined.setSetting(QStringLiteral("Server/DomainRealm"), QString::fromLatin1(TestDomain::realm));
        joined.setSetting(QStringLiteral("Server/ServerToken"), QString::fromLatin1(serverToken));
        QVERIFY(joined.start());
        const std::unique_ptr<TestClient> client = joined.login("admin", serverToken);
        QVERIFY(client);
        QCOMPARE(ask(*client, "create_group?" + prefix + "k"), QString());
        QCOMPARE(members(prefix + "k"), QStringList());
        QCOMPARE(ask(*client, "create_group?" + prefix + "k"), QStringLiteral("Error: Group already exists"));
    }

    // The helper dies while it waits for a controller that does not answer: that request fails
    // as any failed call does, the server lives on, and the next request gets a new helper.
    void helperKilledMidCall()
    {
        const qint64 helper = helperOf(server.pid());
        QVERIFY(helper > 0);
        const qint64 before = bytesRead(helper);
        domain.suspend(true);
        auto resume = qScopeGuard([this] { domain.suspend(false); });
        QVERIFY(admin->send("get_group_list"));
        QVERIFY(waitUntil([&] { return bytesRead(helper) > before; }, 10000));
        QCOMPARE(kill(pid_t(helper), SIGKILL), 0);
        QCOMPARE(QString::fromUtf8(admin->receive(10000)), QStringLiteral("Error: Unknown error listing groups (2140)\n"));
        domain.suspend(false);
        resume.dismiss();
        QVERIFY(server.isRunning());
        QCOMPARE(ask(*admin, "get_user_list?Domain Admins"), QStringLiteral("Administrator"));
        QVERIFY(helperOf(server.pid()) != helper);
    }
};

AMBRIX_TEST_MAIN_WITH_DOMAIN(DomainTest)
#include "tst_domain.moc"
