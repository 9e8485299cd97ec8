// Catalogue and server lookups against the real database, with fixture rows of this run only:
// grants through every path, list commands, the record cache and the preferred server.
#include "testclient.h"
#include "testdatabase.h"
#include "testserver.h"
#include "tokenuser.h"

#include <QtTest>

class CatalogueTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void validApplications_data();
    void validApplications();
    void lists_data();
    void lists();
    void unorderedLists_data();
    void unorderedLists();
    void listsOfSharedTables();
    void recordFields_data();
    void recordFields();
    void recordIsCachedUntilUpdated();

private:
    QString id(int n) const { return QString::number(base + n); }
    QByteArray ask(const QString &request) { return client->request(request.toUtf8()); }
    bool exec(const QString &sql);

    const qint64 pid = QCoreApplication::applicationPid();
    // Fixture ids of this run: far above the sample catalogue, apart from other runs.
    const int base = 90000 + int(pid % 4000) * 25;
    const QString prefix = QStringLiteral("axt6_%1_").arg(pid);
    const QString ext1 = QStringLiteral("x6%1a").arg(pid);
    const QString ext2 = QStringLiteral("x6%1b").arg(pid);
    TestDatabase db;
    std::unique_ptr<TokenUser> user;
    std::unique_ptr<TokenUser> quoteUser;
    std::unique_ptr<TokenUser> ungrantedUser;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<TestClient> client;
};

bool CatalogueTest::exec(const QString &sql)
{
    if (db.exec(sql))
        return true;
    qWarning("%s: %s", qPrintable(sql), qPrintable(db.lastError()));
    return false;
}

void CatalogueTest::initTestCase()
{
    QVERIFY2(db.lastError().isEmpty(), qPrintable(db.lastError()));
    user = std::make_unique<TokenUser>(db, prefix + "u");
    quoteUser = std::make_unique<TokenUser>(db, prefix + "o'q");
    ungrantedUser = std::make_unique<TokenUser>(db, prefix + "none");
    QVERIFY(user->isCreated() && quoteUser->isCreated() && ungrantedUser->isCreated());
    const QString u = user->name();

    // Applications 1..9 (none with an icon); 1 has every field set.
    QVERIFY(exec(QString("INSERT INTO ax_application (id, name, description, command, args, only_one, init_path) "
                         "VALUES (%1, '%2app1', 'first app', 'C:\\\\apps\\\\one.exe', '-x \"a b\"', 1, 'C:\\\\work')")
                     .arg(id(1), prefix)));
    for (int n = 2; n <= 9; ++n)
        QVERIFY(exec(QString("INSERT INTO ax_application (id, name) VALUES (%1, '%2app%3')").arg(id(n), prefix).arg(n)));
    QVERIFY(exec(QString("INSERT INTO ax_usergroup (id, name) VALUES (%1, '%2g1'), (%3, '%2g2')")
                     .arg(id(1), prefix, id(2))));
    QVERIFY(exec(QString("INSERT INTO ax_applicationgroup (id, name) VALUES (%1, '%5ag1'), (%2, '%5ag2'), "
                         "(%3, '%5ag3'), (%4, '%5ag4')")
                     .arg(id(1), id(2), id(3), id(4), prefix)));
    // Grants: directly 1, 2; group 1 gives 3, 2 (again) and application group 1 (5, 3 again);
    // group 2 gives 4 and application group 2 (6); the user's own application group 3 gives 7, 1.
    QVERIFY(exec(QString("INSERT INTO ax_application_users (user_id, application_id) VALUES "
                         "('%1', %2), ('%1', %3), ('%4', %5)")
                     .arg(u, id(1), id(2), QString(prefix + "o''q"), id(9))));
    QVERIFY(exec(QString("INSERT INTO ax_usergroup_users (usergroup_id, user_id) VALUES (%1, '%3'), (%2, '%3')")
                     .arg(id(1), id(2), u)));
    QVERIFY(exec(QString("INSERT INTO ax_application_usergroups (usergroup_id, application_id) VALUES "
                         "(%1, %3), (%1, %4), (%2, %5)")
                     .arg(id(1), id(2), id(3), id(2), id(4))));
    QVERIFY(exec(QString("INSERT INTO ax_usergroup_applicationgroups (usergroup_id, applicationgroup_id) VALUES "
                         "(%1, %1), (%2, %2)")
                     .arg(id(1), id(2))));
    QVERIFY(exec(QString("INSERT INTO ax_applicationgroup_applications (applicationgroup_id, application_id) VALUES "
                         "(%1, %5), (%1, %3), (%2, %6), (%7, %8), (%7, %1), (%4, %9), (%4, %3)")
                     .arg(id(1), id(2), id(3), id(4), id(5), id(6), id(3), id(7), id(8))));
    QVERIFY(exec(QString("INSERT INTO ax_user_applicationgroups (user_id, applicationgroup_id) VALUES ('%1', %2)")
                     .arg(u, id(3))));

    // File types: applications 1 and 2 open both extensions of one mime type.
    QVERIFY(exec(QString("INSERT INTO ax_extension (name) VALUES ('%1'), ('%2')").arg(ext1, ext2)));
    QVERIFY(exec(QString("INSERT INTO ax_mimetype (id, name) VALUES (%1, '%2/type')").arg(id(1), prefix)));
    QVERIFY(exec(QString("INSERT INTO ax_mimetype_extensions (mimetype_id, extension_id) VALUES (%1, '%2'), (%1, '%3')")
                     .arg(id(1), ext1, ext2)));
    QVERIFY(exec(QString("INSERT INTO ax_application_mime_types (application_id, mimetype_id) VALUES (%1, %3), (%2, %3)")
                     .arg(id(1), id(2), id(1))));

    // Servers: application 1 runs on 2 then 1; server 3 names an operating system without a row.
    QVERIFY(exec(QString("INSERT INTO ax_os (id, name) VALUES (%1, '%2os')").arg(id(1), prefix)));
    QVERIFY(exec(QString("INSERT INTO ax_server (id, address, os_id) VALUES (%1, '%4s1', %5), (%2, '%4s2', %5), "
                         "(%3, '%4s3', %6)")
                     .arg(id(1), id(2), id(3), prefix, id(1), id(20))));
    QVERIFY(exec(QString("INSERT INTO ax_server_applications (application_id, server_id) VALUES (%1, %2), (%1, %3)")
                     .arg(id(1), id(2), id(1))));

    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    client = std::make_unique<TestClient>(server->port());
    QCOMPARE(client->request(user->loginRequest()), QByteArray("Authentication ok.\n"));
}

void CatalogueTest::cleanupTestCase()
{
    client.reset();
    if (server) {
        server->interrupt();
        server->waitForExit();
    }
    const QString ids = QString(" BETWEEN %1 AND %2").arg(base + 1).arg(base + 24);
    const QStringList keyOfTable = {
        "ax_application id", "ax_usergroup id", "ax_applicationgroup id", "ax_application_users application_id",
        "ax_usergroup_users usergroup_id", "ax_application_usergroups usergroup_id",
        "ax_usergroup_applicationgroups usergroup_id", "ax_applicationgroup_applications applicationgroup_id",
        "ax_user_applicationgroups applicationgroup_id", "ax_mimetype id", "ax_mimetype_extensions mimetype_id",
        "ax_application_mime_types mimetype_id", "ax_os id", "ax_server id", "ax_server_applications application_id"};
    for (const QString &tableAndKey : keyOfTable)
        exec("DELETE FROM " + tableAndKey.section(' ', 0, 0) + " WHERE " + tableAndKey.section(' ', 1) + ids);
    exec(QString("DELETE FROM ax_extension WHERE name IN ('%1', '%2')").arg(ext1, ext2));
    user.reset();
    quoteUser.reset();
    ungrantedUser.reset();
}

void CatalogueTest::validApplications_data()
{
    QTest::addColumn<QString>("loginName");
    QTest::addColumn<QString>("reply");
    const QString all = QStringList{id(1), id(2), id(3), id(5), id(4), id(6), id(7)}.join(',');
    QTest::newRow("every path, first grant wins") << prefix + "u" << all;
    QTest::newRow("domain part is dropped") << "OFFICE\\" + prefix + "u" << all;
    QTest::newRow("quote in the name") << prefix + "o'q" << id(9);
    QTest::newRow("nothing granted") << prefix + "none" << QString();
}

void CatalogueTest::validApplications()
{
    QFETCH(QString, loginName);
    QFETCH(QString, reply);
    const TokenUser *owner = loginName.contains("o'q") ? quoteUser.get()
                             : loginName.endsWith("none") ? ungrantedUser.get() : user.get();
    TestClient own(server->port());
    QCOMPARE(own.request(owner->loginRequest(loginName)), QByteArray("Authentication ok.\n"));
    QCOMPARE(own.request("get_valid_applications"), (reply + "\n").toUtf8());
}

void CatalogueTest::lists_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply");
    QTest::newRow("group ids of an application") << "get_application_group_ids?" + id(3) << id(1) + ":" + id(4);
    QTest::newRow("group ids, none") << "get_application_group_ids?" + id(2) << QString();
    QTest::newRow("groups, none") << "get_application_groups?" + id(9) << QString();
    QTest::newRow("applications of a group") << "get_applications_by_group?" + id(1) << id(5) + ":" + id(3);
    QTest::newRow("applications of an empty group") << "get_applications_by_group?" + id(20) << QString();
    QTest::newRow("extensions, none") << "get_application_extensions?" + id(9) << QString();
    QTest::newRow("unknown extension") << "get_applications?" + prefix + "none" << QString();
    QTest::newRow("server ids in their order") << "get_server_ids?" + id(1) << id(2) + ":" + id(1);
    QTest::newRow("no servers") << "get_server_ids?" + id(9) << QString();
    QTest::newRow("no hosts") << "get_server_hosts?" + id(9) << QString();
    QTest::newRow("preferred, factor 0") << "get_preferred_server?" + id(1) + "&0" << id(2);
    QTest::newRow("preferred, factor 1") << "get_preferred_server?" + id(1) + "&1" << id(2);
    QTest::newRow("preferred, factor -3.5") << "get_preferred_server?" + id(1) + "&-3.5" << id(2);
    QTest::newRow("preferred, factor not a number") << "get_preferred_server?" + id(1) + "&fast" << id(2);
    QTest::newRow("preferred, infinite factor") << "get_preferred_server?" + id(1) + "&inf" << QString();
    QTest::newRow("preferred, no servers") << "get_preferred_server?" + id(9) + "&1" << QString();
    QTest::newRow("preferred, unknown application") << "get_preferred_server?" + id(22) + "&1" << QString();
    QTest::newRow("address") << "get_server_address?" + id(3) << prefix + "s3";
    QTest::newRow("address, unknown server") << "get_server_address?" + id(22) << QString();
    QTest::newRow("type") << "get_server_type?" + id(2) << prefix + "os";
    QTest::newRow("type, no os row") << "get_server_type?" + id(3) << QString();
    QTest::newRow("type, unknown server") << "get_server_type?" + id(22) << QString();
}

void CatalogueTest::lists()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    QCOMPARE(ask(request), (reply + "\n").toUtf8());
}

// Joins of two tables come back in the database's order.
void CatalogueTest::unorderedLists_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("values");
    QTest::newRow("groups of an application") << "get_application_groups?" + id(3)
                                              << QStringList{prefix + "ag1", prefix + "ag4"};
    QTest::newRow("extensions of an application") << "get_application_extensions?" + id(1) << QStringList{ext1, ext2};
    QTest::newRow("applications for .ext") << "get_applications?." + ext1 << QStringList{id(1), id(2)};
    QTest::newRow("applications for ext") << "get_applications?" + ext1 << QStringList{id(1), id(2)};
    QTest::newRow("server hosts") << "get_server_hosts?" + id(1) << QStringList{prefix + "s1", prefix + "s2"};
}

void CatalogueTest::unorderedLists()
{
    QFETCH(QString, request);
    QFETCH(QStringList, values);
    QByteArray got = ask(request);
    QVERIFY(got.endsWith('\n'));
    got.chop(1);
    QStringList items = QString::fromUtf8(got).split(':');
    items.sort();
    values.sort();
    QCOMPARE(items, values);
}

// Other rows share these tables: check ours are there, in the right form.
void CatalogueTest::listsOfSharedTables()
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
    for (int n : {2, 4, 9})
        QVERIFY2(ungrouped.contains(id(n)), qPrintable(id(n)));
    for (int n : {1, 3, 5, 6, 7, 8})
        QVERIFY2(!ungrouped.contains(id(n)), qPrintable(id(n)));
}

void CatalogueTest::recordFields_data()
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

void CatalogueTest::recordFields()
{
    QFETCH(QString, command);
    QFETCH(QString, known);
    QCOMPARE(ask(command + "?" + id(1)), (known + "\n").toUtf8());
    QCOMPARE(ask(command + "?" + id(24)), QByteArray("\n"));
}

void CatalogueTest::recordIsCachedUntilUpdated()
{
    const QString app = id(8);
    QCOMPARE(ask("get_application_name?" + app), (prefix + "app8\n").toUtf8());
    QVERIFY(exec(QString("UPDATE ax_application SET name='%1renamed' WHERE id=%2").arg(prefix, app)));
    // The cache is shared by every connection of the process.
    TestClient other(server->port());
    QCOMPARE(other.request(user->loginRequest()), QByteArray("Authentication ok.\n"));
    QCOMPARE(other.request(("get_application_display_name?" + app).toUtf8()), (prefix + "app8\n").toUtf8());
    QCOMPARE(ask("application_updated?" + id(23)), QByteArray("\n"));
    QCOMPARE(ask("get_application_name?" + app), (prefix + "app8\n").toUtf8());
    QCOMPARE(ask("application_updated?" + app), QByteArray("\n"));
    QCOMPARE(other.request(("get_application_name?" + app).toUtf8()), (prefix + "renamed\n").toUtf8());
}

QTEST_GUILESS_MAIN(CatalogueTest)
#include "tst_catalogue.moc"
