// Catalogue and server lookups against the real database, with fixture rows of this run only
// (grants through every path, list commands, the record cache and the preferred server); media
// downloads by a fake "wget" into directories the test tampers with; and opening files and
// folders in a user's session: the command handed to a fake "psexec" found through PATH, the
// launch log beside the object, and the session found in real login records.
#include "fakeprogram.h"
#include "loginrecords.h"
#include "testdatabase.h"
#include "testfiles.h"
#include "testserver.h"
#include "tokenuser.h"

#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray ServerToken = "launcher-test-token-41d0b2";

// Modes: "crash" (killed by a signal after writing a part), "fail" (exit 8), "hang" (a media
// server that accepts and does not answer, until the test creates "$d/go"), anything else serves.
const char downloader[] = R"sh(case "$(cat "$d/mode")" in
crash) printf partial > "$3"; kill -KILL $$ ;;
fail) exit 8 ;;
hang) while [ ! -e "$d/go" ]; do sleep 0.05; done ;;
esac
printf downloaded > "$3"
)sh";

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

} // namespace

class CatalogueTest : public QObject
{
    Q_OBJECT

    QString id(int n) const { return QString::number(base + n); }
    QByteArray ask(const QString &request) { return client->request(request.toUtf8()); }
    // The arguments psexec received for the request, and the reply.
    QStringList launch(TestClient &connection, const QByteArray &request, QByteArray *reply)
    {
        const int before = psexec.calls().size();
        *reply = connection.request(request);
        return psexec.waitForCalls(before + 1) ? psexec.calls().last().split('|') : QStringList();
    }

    const qint64 pid = QCoreApplication::applicationPid();
    // Fixture ids of this run: far above the sample catalogue, apart from other runs.
    const int base = 90000 + int(pid % 4000) * 25;
    const QString prefix = QStringLiteral("axt6_%1_").arg(pid);
    const QString ext1 = QStringLiteral("x6%1a").arg(pid);
    const QString ext2 = QStringLiteral("x6%1b").arg(pid);
    const QString sessionUser = QStringLiteral("AxOpen%1").arg(pid);
    QTemporaryDir dir;
    FakeProgram psexec{QStringLiteral("psexec")};
    FakeProgram wget{QStringLiteral("wget"), downloader};
    TestDatabase db;
    TokenUser user{db, prefix + "u"};
    TokenUser quoteUser{db, prefix + "o'q"};
    TokenUser ungrantedUser{db, prefix + "none"};
    TestServer server;
    std::unique_ptr<TestClient> client;
    std::unique_ptr<TestClient> launcher;

private slots:
    void initTestCase()
    {
        QVERIFY(user.isCreated() && quoteUser.isCreated() && ungrantedUser.isCreated());
        const QString u = user.name();
        QStringList apps;
        for (int n = 2; n <= 9; ++n)
            apps << QString("(%1, '%2app%3')").arg(id(n), prefix).arg(n);
        QVERIFY2(db.execAll({
            // Applications 1..9 (none with an icon); 1 has every field set.
            QString("INSERT INTO ax_application (id, name, description, command, args, only_one, init_path) VALUES "
                    "(%1, '%2app1', 'first app', 'C:\\\\apps\\\\one.exe', '-x \"a b\"', 1, 'C:\\\\work')").arg(id(1), prefix),
            "INSERT INTO ax_application (id, name) VALUES " + apps.join(','),
            QString("INSERT INTO ax_usergroup (id, name) VALUES (%1, '%2g1'), (%3, '%2g2')").arg(id(1), prefix, id(2)),
            QString("INSERT INTO ax_applicationgroup (id, name) VALUES (%1, '%5ag1'), (%2, '%5ag2'), (%3, '%5ag3'), "
                    "(%4, '%5ag4')").arg(id(1), id(2), id(3), id(4), prefix),
            // Grants: directly 1, 2; group 1 gives 3, 2 (again) and application group 1 (5, 3 again);
            // group 2 gives 4 and application group 2 (6); the user's own application group 3 gives 7, 1.
            QString("INSERT INTO ax_application_users (user_id, application_id) VALUES ('%1', %2), ('%1', %3), ('%4', %5)")
                .arg(u, id(1), id(2), QString(prefix + "o''q"), id(9)),
            QString("INSERT INTO ax_usergroup_users (usergroup_id, user_id) VALUES (%1, '%3'), (%2, '%3')").arg(id(1), id(2), u),
            QString("INSERT INTO ax_application_usergroups (usergroup_id, application_id) VALUES (%1, %3), (%1, %4), (%2, %5)")
                .arg(id(1), id(2), id(3), id(2), id(4)),
            QString("INSERT INTO ax_usergroup_applicationgroups (usergroup_id, applicationgroup_id) VALUES (%1, %1), (%2, %2)")
                .arg(id(1), id(2)),
            QString("INSERT INTO ax_applicationgroup_applications (applicationgroup_id, application_id) VALUES "
                    "(%1, %5), (%1, %3), (%2, %6), (%7, %8), (%7, %1), (%4, %9), (%4, %3)")
                .arg(id(1), id(2), id(3), id(4), id(5), id(6), id(3), id(7), id(8)),
            QString("INSERT INTO ax_user_applicationgroups (user_id, applicationgroup_id) VALUES ('%1', %2)").arg(u, id(3)),
            // File types: applications 1 and 2 open both extensions of one mime type.
            QString("INSERT INTO ax_extension (name) VALUES ('%1'), ('%2')").arg(ext1, ext2),
            QString("INSERT INTO ax_mimetype (id, name) VALUES (%1, '%2/type')").arg(id(1), prefix),
            QString("INSERT INTO ax_mimetype_extensions (mimetype_id, extension_id) VALUES (%1, '%2'), (%1, '%3')")
                .arg(id(1), ext1, ext2),
            QString("INSERT INTO ax_application_mime_types (application_id, mimetype_id) VALUES (%1, %3), (%2, %3)")
                .arg(id(1), id(2), id(1)),
            // Servers: application 1 runs on 2 then 1; server 3 names an operating system without a row.
            QString("INSERT INTO ax_os (id, name) VALUES (%1, '%2os')").arg(id(1), prefix),
            QString("INSERT INTO ax_server (id, address, os_id) VALUES (%1, '%4s1', %5), (%2, '%4s2', %5), (%3, '%4s3', %6)")
                .arg(id(1), id(2), id(3), prefix, id(1), id(20)),
            QString("INSERT INTO ax_server_applications (application_id, server_id) VALUES (%1, %2), (%1, %3)")
                .arg(id(1), id(2), id(1)),
            QString("UPDATE ax_applicationgroup SET icon='icons/%1.png' WHERE id=%2").arg(prefix, id(4))}),
                 qPrintable(db.lastError()));
        QVERIFY(psexec.install() && wget.install());
        server.setSetting("Server/ServerToken", QString::fromLatin1(ServerToken));
        server.setEnv("PATH", psexec.pathEntry() + ":" + wget.pathEntry() + ":" + qEnvironmentVariable("PATH"));
        server.setEnv("WINDIR", "C:\\Windows");
        QVERIFY(server.start());
        QVERIFY(client = server.login(user.name().toUtf8(), user.token()));
        // The connection's user name differs from the sessions' in letter case only.
        QVERIFY(launcher = server.login(sessionUser.toLower().toUtf8(), ServerToken));
    }

    void cleanupTestCase()
    {
        db.removeRows({"ax_application", "ax_usergroup", "ax_applicationgroup", "ax_application_users application_id",
                       "ax_usergroup_users usergroup_id", "ax_application_usergroups usergroup_id",
                       "ax_usergroup_applicationgroups usergroup_id", "ax_applicationgroup_applications applicationgroup_id",
                       "ax_user_applicationgroups applicationgroup_id", "ax_mimetype", "ax_mimetype_extensions mimetype_id",
                       "ax_application_mime_types mimetype_id", "ax_os", "ax_server", "ax_server_applications application_id"},
                      base + 1, base + 24);
        db.exec(QString("DELETE FROM ax_extension WHERE name IN ('%1', '%2')").arg(ext1, ext2));
    }

    void validApplications_data()
    {
        QTest::addColumn<QString>("loginName");
        QTest::addColumn<QString>("reply");
        const QString all = QStringList{id(1), id(2), id(3), id(5), id(4), id(6), id(7)}.join(',');
        QTest::newRow("every path, first grant wins") << prefix + "u" << all;
        QTest::newRow("domain part is dropped") << "OFFICE\\" + prefix + "u" << all;
        QTest::newRow("quote in the name") << prefix + "o'q" << id(9);
        QTest::newRow("nothing granted") << prefix + "none" << QString();
    }

    void validApplications()
    {
        QFETCH(QString, loginName);
        QFETCH(QString, reply);
        const TokenUser &owner = loginName.contains("o'q") ? quoteUser : loginName.endsWith("none") ? ungrantedUser : user;
        const std::unique_ptr<TestClient> own = server.login(loginName.toUtf8(), owner.token());
        QVERIFY(own);
        QCOMPARE(own->request("get_valid_applications"), (reply + "\n").toUtf8());
    }

    void lists_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        QTest::newRow("group ids of an application") << "get_application_group_ids?" + id(3) << id(1) + ":" + id(4);
        QTest::newRow("applications of a group") << "get_applications_by_group?" + id(1) << id(5) + ":" + id(3);
        QTest::newRow("unknown extension") << "get_applications?" + prefix + "none" << QString();
        QTest::newRow("server ids in their order") << "get_server_ids?" + id(1) << id(2) + ":" + id(1);
        QTest::newRow("preferred, factor 1") << "get_preferred_server?" + id(1) + "&1" << id(2);
        QTest::newRow("preferred, factor not a number") << "get_preferred_server?" + id(1) + "&fast" << id(2);
        QTest::newRow("preferred, infinite factor") << "get_preferred_server?" + id(1) + "&inf" << QString();
        QTest::newRow("preferred, no servers") << "get_preferred_server?" + id(9) + "&1" << QString();
        QTest::newRow("address") << "get_server_address?" + id(3) << prefix + "s3";
        QTest::newRow("address, unknown server") << "get_server_address?" + id(22) << QString();
        QTest::newRow("type") << "get_server_type?" + id(2) << prefix + "os";
        QTest::newRow("type, no os row") << "get_server_type?" + id(3) << QString();
    }

    void lists()
    {
        QFETCH(QString, request);
        QFETCH(QString, reply);
        QCOMPARE(ask(request), (reply + "\n").toUtf8());
    }

    // Joins of two tables come back in the database's order.
    void unorderedLists_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("groups of an application") << "get_application_groups?" + id(3) << QStringList{prefix + "ag1", prefix + "ag4"};
        QTest::newRow("extensions of an application") << "get_application_extensions?" + id(1) << QStringList{ext1, ext2};
        QTest::newRow("applications for .ext") << "get_applications?." + ext1 << QStringList{id(1), id(2)};
        QTest::newRow("applications for ext") << "get_applications?" + ext1 << QStringList{id(1), id(2)};
        QTest::newRow("server hosts") << "get_server_hosts?" + id(1) << QStringList{prefix + "s1", prefix + "s2"};
    }

    void unorderedLists()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, values);
        QByteArray got = ask(request);
        QVERIFY(got.endsWith('\n'));
        QStringList items = QString::fromUtf8(got.chopped(1)).split(':');
        items.sort();
        QCOMPARE(items, values);
    }

    // Other rows share these tables: check ours are there, in the right form.
    void listsOfSharedTables()
    {
        const QByteArray groups = ask("get_application_groups");
        QVERIFY(QString::fromUtf8(groups).trimmed().split(':').contains(prefix + "ag2"));
        for (const char *same : {"get_application_groups?0", "get_application_groups?", "get_application_groups?x"})
            QCOMPARE(ask(same), groups);
        const QByteArray groupIds = ask("get_application_group_ids");
        QVERIFY(QString::fromUtf8(groupIds).trimmed().split(':').contains(id(4)));
        QCOMPARE(ask("get_application_group_ids?0"), groupIds);
        const QStringList extensions = QString::fromUtf8(ask("get_extensions_list")).trimmed().split(',');
        QVERIFY(extensions.contains(ext1) && extensions.contains(ext2));
        const QStringList ungrouped = QString::fromUtf8(ask("get_applications_by_group?-1")).trimmed().split(':');
        for (int n = 1; n <= 9; ++n)
            QVERIFY2(ungrouped.contains(id(n)) == (n == 2 || n == 4 || n == 9), qPrintable(id(n)));
    }

    void recordFields_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("known");
        QTest::newRow("name") << "get_application_name" << prefix + "app1";
        QTest::newRow("display name") << "get_application_display_name" << prefix + "app1";
        QTest::newRow("description") << "get_application_description" << "first app";
        QTest::newRow("exec path") << "get_application_exec_path" << "C:\\apps\\one.exe";
        QTest::newRow("arguments") << "get_application_arguments" << "-x \"a b\"";
        QTest::newRow("working path") << "get_application_working_path" << "C:\\work";
        QTest::newRow("only one") << "get_application_onlyone" << "1";
    }

    void recordFields()
    {
        QFETCH(QString, command);
        QFETCH(QString, known);
        QCOMPARE(ask(command + "?" + id(1)), (known + "\n").toUtf8());
        QCOMPARE(ask(command + "?" + id(24)), QByteArray("\n"));
    }

    void recordIsCachedUntilUpdated()
    {
        const QString app = id(8);
        QCOMPARE(ask("get_application_name?" + app), (prefix + "app8\n").toUtf8());
        QVERIFY(db.exec(QString("UPDATE ax_application SET name='%1renamed' WHERE id=%2").arg(prefix, app)));
        // The cache is shared by every connection of the process.
        const std::unique_ptr<TestClient> other = server.login(user.name().toUtf8(), user.token());
        QCOMPARE(other->request(("get_application_display_name?" + app).toUtf8()), (prefix + "app8\n").toUtf8());
        QCOMPARE(ask("application_updated?" + id(23)), QByteArray("\n"));
        QCOMPARE(ask("get_application_name?" + app), (prefix + "app8\n").toUtf8());
        QCOMPARE(ask("application_updated?" + app), QByteArray("\n"));
        QCOMPARE(other->request(("get_application_name?" + app).toUtf8()), (prefix + "renamed\n").toUtf8());
    }

    void mediaFetch_data()
    {
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<QByteArray>("icon");
        QTest::addColumn<QString>("refused"); // the directory named in the error entry
        const QString cache = server.environment().value("CACHE_DIRECTORY");
        QTest::newRow("downloaded") << QByteArray("serve") << QString() << QByteArray("downloaded") << QString();
        // An earlier copy lies at the final name in every row.
        QTest::newRow("crashed") << QByteArray("crash") << QString() << QByteArray() << QString();
        QTest::newRow("link at the final name") << QByteArray("fail") << "link" << QByteArray() << QString();
        QTest::newRow("media directory of another user") << QByteArray("serve") << "foreign" << QByteArray()
                                                         << cache + "/media";
        QTest::newRow("holding directory writable by all") << QByteArray("serve") << "open" << QByteArray() << cache;
    }

    void mediaFetch()
    {
        QFETCH(QByteArray, mode);
        QFETCH(QString, tamper);
        QFETCH(QByteArray, icon);
        QFETCH(QString, refused);
        const QString cache = server.environment().value("CACHE_DIRECTORY");
        const QString local = cache + "/media/" + prefix + ".png";
        QVERIFY(QDir().mkpath(cache + "/media") && writeFile(wget.directory() + "/mode", mode));
        QFile::remove(local);
        if (tamper == "link")
            QVERIFY(writeFile(dir.filePath("secret"), "secret") && QFile::link(dir.filePath("secret"), local));
        else
            QVERIFY(writeFile(local, "earlier"));
        const QByteArray tampered = QFile::encodeName(tamper == "open" ? cache : cache + "/media");
        QVERIFY(chmod(tampered.constData(), tamper == "open" ? 0777 : 0755) == 0
                && chown(tampered.constData(), tamper == "foreign" ? 65534 : 0, 0) == 0);
        const auto restore = qScopeGuard([&] {
            chmod(tampered.constData(), 0755);
            chown(tampered.constData(), 0, 0);
        });
        const int runs = wget.calls().size();

        QCOMPARE(client->request(("_byteArray_get_application_group_icon?" + id(4)).toUtf8()), framed(icon));
        QCOMPARE(wget.calls().size(), runs + (refused.isEmpty() ? 1 : 0));
        QVERIFY(refused.isEmpty() || server.logContents().contains("Error: Media directory '" + refused.toUtf8() + "' refused"));
    }

    // A record is loaded without its icon; the icon is downloaded when asked for, once for every
    // client asking at the same time, and kept with the record until it is updated.
    void iconIsFetchedOnDemandOnce()
    {
        const QString app = id(6);
        const QByteArray iconRequest = ("_byteArray_get_application_icon?" + app).toUtf8();
        QVERIFY(db.exec(QString("UPDATE ax_application SET icon='icons/%1app.png' WHERE id=%2").arg(prefix, app)));
        QVERIFY(writeFile(wget.directory() + "/mode", "hang"));
        QFile::remove(wget.directory() + "/go");
        const int runs = wget.calls().size();
        QCOMPARE(ask("get_application_name?" + app), (prefix + "app6\n").toUtf8());
        QCOMPARE(wget.calls().size(), runs);

        std::vector<std::unique_ptr<TestClient>> askers;
        for (int i = 0; i < 8; ++i) {
            askers.push_back(server.login(user.name().toUtf8(), user.token()));
            QVERIFY(askers.back() && askers.back()->send(iconRequest));
        }
        QVERIFY(wget.waitForCalls(runs + 1));
        QCOMPARE(ask("get_application_exec_path?" + app), QByteArray("\n"));
        QVERIFY(writeFile(wget.directory() + "/go", ""));
        for (const auto &asker : askers)
            QCOMPARE(asker->receiveExactly(framed("downloaded").size()), framed("downloaded"));
        QCOMPARE(wget.calls().size(), runs + 1);
        QCOMPARE(client->request(iconRequest), framed("downloaded"));
        QCOMPARE(wget.calls().size(), runs + 1);
        QCOMPARE(ask("application_updated?" + app), QByteArray("\n"));
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
            sessions.push_back(std::make_unique<QProcess>());
            sessions.back()->start("/bin/sleep", {"300"});
            QVERIFY(sessions.back()->waitForStarted() && records.add(sessions.back()->processId(), sessionUser));
        }
        const QString first = QString::number(sessions[0]->processId());
        const QString last = QString::number(sessions[1]->processId());
        const QString file = dir.path() + "/report.txt";
        QVERIFY(writeFile(file, "text"));

        QByteArray reply;
        QStringList arguments = launch(*launcher, "open_file?" + file.toUtf8() + "&", &reply);
        QCOMPARE(reply, backslashed(file) + "\n");
        QCOMPARE(arguments, QStringList({"-accepteula", "-i", last, "-s", "C:\\Windows\\explorer.exe", backslashed(file)}));
        const QByteArray firstLine = "psexec -accepteula -i " + last.toUtf8() + " -s C:\\Windows\\explorer.exe " + backslashed(file);
        const QString searchLine = "SessionId: %1, data: '" + sessionUser + "', username: '" + sessionUser.toLower() + "'\n";
        QByteArray launchLog = readFile(file + ".log");
        QVERIFY2(launchLog.startsWith(firstLine + "\n"), launchLog.constData());
        QVERIFY(launchLog.contains(searchLine.arg(first).toUtf8()) && launchLog.contains(searchLine.arg(last).toUtf8()));

        // The extra argument goes to the program and the "Running" entry, not the log's first line;
        // the new log carries the lines of both searches.
        arguments = launch(*launcher, "open_file?" + file.toUtf8() + "&/e,x y", &reply);
        QCOMPARE(arguments.size(), 7);
        QCOMPARE(arguments.last(), QString("/e,x y"));
        launchLog = readFile(file + ".log");
        QVERIFY2(launchLog.startsWith(firstLine + "\n"), launchLog.constData());
        QCOMPARE(launchLog.count(searchLine.arg(last).toUtf8()), 2);
        const QByteArray serverLog = server.logContents();
        QVERIFY(serverLog.contains("Info: Opening file " + file.toUtf8() + "...\r\n"));
        QVERIFY(serverLog.contains("Info: Running: '" + firstLine + " /e,x y'\r\n"));
    }

    void openDirWithoutSession()
    {
        const std::unique_ptr<TestClient> other = server.login("AxNobody", ServerToken);
        const QString folder = dir.path() + "/folder";
        QVERIFY(other && QDir().mkpath(folder));
        QByteArray reply;
        const QStringList arguments = launch(*other, "open_dir?" + folder.toUtf8(), &reply);
        QCOMPARE(reply, backslashed(folder) + "\n");
        QCOMPARE(arguments, QStringList({"-accepteula", "-i", "-1", "-s", "C:\\Windows\\explorer.exe", backslashed(folder)}));
        QVERIFY(readFile(folder + ".log").startsWith("psexec -accepteula -i -1 -s "));

        // Nothing to open: psexec runs, but no log appears for a missing object.
        const QString missing = dir.path() + "/missing.txt";
        QCOMPARE(launch(*other, "open_dir?" + missing.toUtf8(), &reply).value(2), QString("-1"));
        QCOMPARE(reply, backslashed(missing) + "\n");
        QVERIFY(!QFile::exists(missing + ".log"));
    }

    void launchLogIsNeverWrittenThroughOtherFiles_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"symlink", "hardlink", "fifo"})
            QTest::newRow(kind) << kind;
    }

    // The server runs as root and the user may own the folder: a prepared ".log" must not make it
    // overwrite another file.
    void launchLogIsNeverWrittenThroughOtherFiles()
    {
        QFETCH(QString, kind);
        const QString file = dir.path() + "/" + kind + ".txt";
        const QString victim = dir.path() + "/" + kind + "-victim";
        QVERIFY(writeFile(file, "text") && writeFile(victim, "precious"));
        const QByteArray logPath = QFile::encodeName(file + ".log");
        if (kind == "symlink")
            QVERIFY(symlink(QFile::encodeName(victim).constData(), logPath.constData()) == 0);
        else if (kind == "hardlink")
            QVERIFY(link(QFile::encodeName(victim).constData(), logPath.constData()) == 0);
        else
            QVERIFY(mkfifo(logPath.constData(), 0644) == 0);
        QByteArray reply;
        launch(*launcher, "open_file?" + file.toUtf8() + "&", &reply);
        QCOMPARE(reply, backslashed(file) + "\n");
        QCOMPARE(readFile(victim), QByteArray("precious"));
        struct stat info;
        QVERIFY(kind != "fifo" || (lstat(logPath.constData(), &info) == 0 && S_ISFIFO(info.st_mode)));
    }
};

QTEST_GUILESS_MAIN(CatalogueTest)
#include "tst_catalogue.moc"
