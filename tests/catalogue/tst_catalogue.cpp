// Catalogue and server lookups against the real database, with fixture rows of this test only
// (grants through every path, list commands, the record cache and the preferred server); media
// downloads by a fake "wget" into directories the test tampers with; and opening files and
// folders in a user's session: the command handed to a fake "psexec" found through PATH, the
// launch log beside the object, and the session found in real login records.
#include "fakeprogram.h"
#include "loginrecords.h"
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtEndian>
#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray ServerToken = "launcher-test-token-41d0b2";

QByteArray framed(const QByteArray &payload)
{
    QByteArray reply(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), reply.data());
    return reply + payload;
}

QByteArray backslashed(QString path)
{
    return path.replace('/', '\\').toUtf8();
}

QPair<uid_t, gid_t> idsOf(const char *name)
{
    const passwd *entry = getpwnam(name);
    return entry ? qMakePair(entry->pw_uid, entry->pw_gid) : qMakePair(uid_t(0), gid_t(0));
}

// A process of the user's that holds a session, once it is the user's.
std::unique_ptr<QProcess> startSessionOf(const QString &user)
{
    auto session = std::make_unique<QProcess>();
    session->start("/usr/bin/setpriv", {"--reuid=" + user, "--regid=" + user, "--init-groups", "/bin/sleep", "300"});
    const QByteArray path = QFile::encodeName(QStringLiteral("/proc/%1").arg(session->processId()));
    struct stat info;
    const bool isUsers = session->waitForStarted() && waitUntil([&] {
        return ::stat(path.constData(), &info) == 0 && info.st_uid == idsOf(qPrintable(user)).first;
    }, 10000);
    return isUsers ? std::move(session) : nullptr;
}

} // namespace

class CatalogueTest : public QObject
{
    Q_OBJECT

    QByteArray ask(const QString &request) { return client->request(request.toUtf8()); }
    // The arguments psexec received for the request, and the reply.
    QStringList launch(TestClient &connection, const QByteArray &request, QByteArray *reply)
    {
        const int before = psexec.calls().size();
        *reply = connection.request(request);
        return psexec.waitForCalls(before + 1) ? psexec.calls().last().split('|') : QStringList();
    }

    // The sessions' records name the user in other letters than the account's and the login's.
    const QString sessionUser = QStringLiteral("AxOpen%1").arg(QCoreApplication::applicationPid());
    const QString account = sessionUser.toLower();
    const QPair<uid_t, gid_t> servingAccount = idsOf("ambrix-server");
    QTemporaryDir dir;
    QString home; // the session user's own folder, where launch logs may go
    FakeProgram psexec{QStringLiteral("psexec")};
    FakeProgram wget{QStringLiteral("wget"), fixture("wget-modes.sh")};
    TestDatabase db;
    TestServer server;
    std::unique_ptr<TestClient> client;   // cat_u
    std::unique_ptr<TestClient> launcher; // a user with login records

private slots:
    void initTestCase()
    {
        QVERIFY2(db.load("catalogue"), qPrintable(db.lastError()));
        QVERIFY(psexec.install() && wget.install());
        QVERIFY(Programs::run(Programs::UseraddProgram, {"-M", "-U", "--", account}, 30000).succeeded());
        const QPair<uid_t, gid_t> ids = idsOf(qPrintable(account));
        home = dir.filePath("home");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7711)) && QDir().mkpath(home)
                && chown(QFile::encodeName(home).constData(), ids.first, ids.second) == 0);
        server.setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
        server.setEnv("PATH", psexec.pathEntry() + ":" + wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setEnv("WINDIR", "C:\\Windows");
        QVERIFY(server.start());
        QVERIFY(client = server.login("cat_u", "cat-u-token"));
        // The connection's user name differs from the sessions' in letter case only.
        QVERIFY(launcher = server.login(sessionUser.toLower().toUtf8(), ServerToken));
    }

    void validApplications_data() { addRowsFrom("catalogue.rows"); }

    void validApplications()
    {
        const std::unique_ptr<TestClient> own = server.login(field("loginName").toUtf8(), field("token").toUtf8());
        QVERIFY(own);
        QCOMPARE(own->request("get_valid_applications"), field("reply").toUtf8());
    }

    // Lists, lookups and record fields.
    void answers_data() { addRowsFrom("catalogue.rows"); }

    void answers()
    {
        const QString reply = field("reply");
        QByteArray got = ask(field("request"));
        if (reply.startsWith('~')) {
            QStringList items = QString::fromUtf8(got.chopped(1)).split(':');
            items.sort();
            got = items.join(':').toUtf8() + "\n";
        }
        QCOMPARE(got, reply.mid(reply.startsWith('~')).toUtf8() + (reply.startsWith('~') ? "\n" : ""));
    }

    // Other rows share these tables: check ours are there, in the right form.
    void listsOfSharedTables()
    {
        const QByteArray groups = ask("get_application_groups");
        QVERIFY(QString::fromUtf8(groups).trimmed().split(':').contains("cat_ag2"));
        for (const char *same : {"get_application_groups?0", "get_application_groups?", "get_application_groups?x"})
            QCOMPARE(ask(same), groups);
        const QByteArray groupIds = ask("get_application_group_ids");
        QVERIFY(QString::fromUtf8(groupIds).trimmed().split(':').contains("91004"));
        QCOMPARE(ask("get_application_group_ids?0"), groupIds);
        const QStringList extensions = QString::fromUtf8(ask("get_extensions_list")).trimmed().split(',');
        QVERIFY(extensions.contains("xcat1") && extensions.contains("xcat2"));
        const QStringList ungrouped = QString::fromUtf8(ask("get_applications_by_group?-1")).trimmed().split(':');
        for (int n = 1; n <= 9; ++n)
            QVERIFY2(ungrouped.contains(QString::number(91000 + n)) == (n == 2 || n == 4 || n == 9), qPrintable(QString::number(n)));
    }

    void recordIsCachedUntilUpdated()
    {
        QCOMPARE(ask("get_application_name?91008"), QByteArray("cat_app8\n"));
        QVERIFY(db.exec("UPDATE ax_application SET name='cat_renamed' WHERE id=91008"));
        // The cache is shared by every connection of the process.
        const std::unique_ptr<TestClient> other = server.login("cat_u", "cat-u-token");
        QCOMPARE(other->request("get_application_display_name?91008"), QByteArray("cat_app8\n"));
        QCOMPARE(ask("application_updated?91023"), QByteArray("\n"));
        QCOMPARE(ask("get_application_name?91008"), QByteArray("cat_app8\n"));
        QCOMPARE(ask("application_updated?91008"), QByteArray("\n"));
        QCOMPARE(other->request("get_application_name?91008"), QByteArray("cat_renamed\n"));
    }

    // Media downloads of an icon, and media directories that are not the server's alone.
    void mediaFetch_data() { addRowsFrom("catalogue.rows", {{"cache", server.environment().value("CACHE_DIRECTORY")}}); }

    void mediaFetch()
    {
        const QString tamper = field("tamper"), refused = field("refused");
        const QByteArray icon = field("icon").toUtf8();
        const QString cache = server.environment().value("CACHE_DIRECTORY");
        const QString local = cache + "/media/cat.png";
        QVERIFY(QDir().mkpath(cache + "/media") && writeFile(wget.directory() + "/mode", field("mode").toUtf8()));
        QFile::remove(local);
        if (tamper == "link")
            QVERIFY(writeFile(dir.filePath("secret"), "secret") && QFile::link(dir.filePath("secret"), local));
        else
            QVERIFY(writeFile(local, "earlier"));
        // The media directory is the serving account's, the one holding it root's.
        const uid_t owner = tamper == "open" ? 0 : servingAccount.first;
        const gid_t group = tamper == "open" ? 0 : servingAccount.second;
        const QByteArray tampered = QFile::encodeName(tamper == "open" ? cache : cache + "/media");
        QVERIFY(chmod(tampered.constData(), tamper == "open" ? 0777 : 0755) == 0
                && chown(tampered.constData(), tamper == "foreign" ? 65534 : owner, group) == 0);
        const auto restore = qScopeGuard([&] {
            chmod(tampered.constData(), 0755);
            chown(tampered.constData(), owner, group);
        });
        const int runs = wget.calls().size();
        QCOMPARE(ask("_byteArray_get_application_group_icon?91004"), framed(icon));
        QCOMPARE(wget.calls().size(), runs + (refused.isEmpty() ? 1 : 0));
        QVERIFY(refused.isEmpty() || server.logContents().contains("Error: Media directory '" + refused.toUtf8() + "' refused"));
    }

    // A record is loaded without its icon; the icon is downloaded when asked for, once for every
    // client asking at the same time, and kept with the record until it is updated.
    void iconIsFetchedOnDemandOnce()
    {
        const QByteArray iconRequest = "_byteArray_get_application_icon?91006";
        QVERIFY(db.exec("UPDATE ax_application SET icon='icons/cat-app.png' WHERE id=91006"));
        QVERIFY(writeFile(wget.directory() + "/mode", "hang"));
        QFile::remove(wget.directory() + "/go");
        const int runs = wget.calls().size();
        QCOMPARE(ask("get_application_name?91006"), QByteArray("cat_app6\n"));
        QCOMPARE(wget.calls().size(), runs);

        std::vector<std::unique_ptr<TestClient>> askers;
        for (int i = 0; i < 8; ++i) {
            askers.push_back(server.login("cat_u", "cat-u-token"));
            QVERIFY(askers.back() && askers.back()->send(iconRequest));
        }
        QVERIFY(wget.waitForCalls(runs + 1));
        QCOMPARE(ask("get_application_exec_path?91006"), QByteArray("\n"));
        QVERIFY(writeFile(wget.directory() + "/go", ""));
        for (const auto &asker : askers)
            QCOMPARE(asker->receiveExactly(framed("downloaded").size()), framed("downloaded"));
        QCOMPARE(wget.calls().size(), runs + 1);
        QCOMPARE(client->request(iconRequest), framed("downloaded"));
        QCOMPARE(wget.calls().size(), runs + 1);
        QCOMPARE(ask("application_updated?91006"), QByteArray("\n"));
        QCOMPARE(client->request(iconRequest), framed("downloaded"));
        QCOMPARE(wget.calls().size(), runs + 2);
    }
    void openFileInTheLastMatchingSession()
    {
        LoginRecords records;
        std::vector<std::unique_ptr<QProcess>> sessions;
        const auto stop = qScopeGuard([&sessions] {
            for (auto &session : sessions) {
                session->kill();
                session->waitForFinished();
            }
        });
        for (int i = 0; i < 2; ++i) {
            sessions.push_back(startSessionOf(account));
            QVERIFY(sessions.back() && records.add(sessions.back()->processId(), sessionUser));
        }
        const QString first = QString::number(sessions[0]->processId());
        const QString last = QString::number(sessions[1]->processId());
        const QString file = home + "/report.txt";
        QVERIFY(writeFile(file, "text"));

        QByteArray reply;
        QStringList arguments = launch(*launcher, "open_file?" + file.toUtf8() + "&", &reply);
        QCOMPARE(reply, backslashed(file) + "\n");
        QCOMPARE(arguments, QStringList({"-accepteula", "-i", last, "-s", "C:\\Windows\\explorer.exe", backslashed(file)}));
        const QByteArray firstLine = "psexec -accepteula -i " + last.toUtf8() + " -s C:\\Windows\\explorer.exe " + backslashed(file);
        const QString searchLine = "SessionId: %1, data: '" + sessionUser + "', username: '" + sessionUser.toLower() + "'\n";
        // The log is the session owner's, for the owner alone.
        QByteArray launchLog = readFile(file + ".log");
        QVERIFY2(launchLog.startsWith(firstLine + "\n"), launchLog.constData());
        QVERIFY(launchLog.contains(searchLine.arg(first).toUtf8()) && launchLog.contains(searchLine.arg(last).toUtf8()));
        const QFileInfo logInfo(file + ".log");
        QCOMPARE(logInfo.ownerId(), uint(idsOf(qPrintable(account)).first));
        QCOMPARE(int(logInfo.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup)), 0);

        // The extra argument goes to the program and the "Running" entry, not the log's first line;
        // the new log carries the lines of this search only.
        arguments = launch(*launcher, "open_file?" + file.toUtf8() + "&/e,x y", &reply);
        QCOMPARE(arguments.size(), 7);
        QCOMPARE(arguments.last(), QString("/e,x y"));
        launchLog = readFile(file + ".log");
        QVERIFY2(launchLog.startsWith(firstLine + "\n"), launchLog.constData());
        QCOMPARE(launchLog.count(searchLine.arg(last).toUtf8()), 1);
        const QByteArray serverLog = server.logContents();
        QVERIFY(serverLog.contains("Info: Opening file " + file.toUtf8() + "...\r\n"));
        QVERIFY(serverLog.contains("Info: Running: '" + firstLine + " /e,x y'\r\n"));

        // Without a session: -1, and no log, there being no session owner to write it as. Nothing
        // to open: psexec runs, but no log appears beside a missing object.
        const std::unique_ptr<TestClient> other = server.login("AxNobody", ServerToken);
        const QString folder = home + "/folder", missing = home + "/missing.txt";
        QVERIFY(other && QDir().mkpath(folder));
        QCOMPARE(launch(*other, "open_dir?" + folder.toUtf8(), &reply),
                 QStringList({"-accepteula", "-i", "-1", "-s", "C:\\Windows\\explorer.exe", backslashed(folder)}));
        QCOMPARE(reply, backslashed(folder) + "\n");
        QVERIFY(!QFile::exists(folder + ".log"));
        QCOMPARE(launch(*launcher, "open_dir?" + missing.toUtf8(), &reply).value(2), last);
        QCOMPARE(reply, backslashed(missing) + "\n");
        QVERIFY(!QFile::exists(missing + ".log"));
    }

    void launchLogIsNeverWrittenThroughOtherFiles_data() { addRowsFrom("catalogue.rows"); }

    // The log is written as the session's owner, never through a link, never into anything but a
    // plain file of its own, and never where the owner could not write anyway: a prepared ".log",
    // a path that climbs into root's directories, or one with a line end that would make the log
    // an instruction for root's tools (this test's /etc is a private copy).
    void launchLogIsNeverWrittenThroughOtherFiles()
    {
        const QString kind = field("kind");
        const QString file = kind == "climbing into /etc" ? home + "/../../../../../../../../etc/ax-launch"
                             : kind == "line end"         ? home + "/x\n*/../../../../../../../../etc/ax-launch"
                                                          : home + "/" + kind + ".txt";
        const QString victim = home + "/" + QString(kind).replace('/', '-') + "-victim";
        QVERIFY((file.contains("/etc/") || writeFile(file, "text")) && writeFile(victim, "precious")
                && writeFile("/etc/ax-launch", "x"));
        const QPair<uid_t, gid_t> ids = idsOf(qPrintable(account));
        QVERIFY(chown(QFile::encodeName(victim).constData(), ids.first, ids.second) == 0);
        const QByteArray logPath = QFile::encodeName(file + ".log"), victimPath = QFile::encodeName(victim);
        if (kind == "symlink" || kind == "hardlink" || kind == "fifo")
            QVERIFY((kind == "symlink" ? symlink(victimPath, logPath) : kind == "hardlink" ? link(victimPath, logPath)
                                                                                           : mkfifo(logPath, 0644)) == 0);
        LoginRecords records;
        const std::unique_ptr<QProcess> session = startSessionOf(account);
        QVERIFY(session && records.add(session->processId(), sessionUser));
        const auto stop = qScopeGuard([&session] {
            session->kill();
            session->waitForFinished();
        });
        const int before = psexec.calls().size();
        QByteArray reply;
        if (kind == "line end")
            reply = launcher->request("open_file?" + file.toUtf8() + "&");
        else
            launch(*launcher, "open_file?" + file.toUtf8() + "&", &reply);
        QCOMPARE(reply, backslashed(file) + "\n");
        QCOMPARE(readFile(victim), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists("/etc/ax-launch.log"));
        struct stat info;
        QVERIFY(kind != "fifo" || (lstat(logPath, &info) == 0 && S_ISFIFO(info.st_mode)));
        // A path with a control character opens nothing at all.
        QCOMPARE(psexec.calls().size(), before + (kind == "line end" ? 0 : 1));
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(CatalogueTest)
#include "tst_catalogue.moc"
