// What the catalogue says about a user's storage: the profiles server (from the user's groups,
// then the platform parameters), the profile path and the drive redirections, asked of the real
// server over TCP with fixture rows in the real database.
#include "testclient.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QByteArray serverToken = "st8ProfilesToken" + QByteArray::number(QRandomGenerator::global()->generate());

// Fixture ids 80801-80899 in every table, user names starting "st8_".
const char *const fixtureTables[] = {"ax_server", "ax_usergroup", "ax_usergroup_users", "ax_storageredirection",
                                     "ax_userstorageredirection", "ax_groupstorageredirection"};

const char *const fixtures[] = {
    "INSERT INTO ax_server (id, name, address, port) VALUES"
    " (80801, 'st8-a', '127.8.8.1', 4601), (80802, 'st8-b', '127.8.8.2', 4602),"
    " (80803, 'st8-noport', '127.8.8.3', NULL), (80821, 'st8-redirect', '127.8.8.21', 4445)",
    "INSERT INTO ax_usergroup (id, name, profile_server_id) VALUES"
    " (80801, 'st8 none', NULL), (80802, 'st8 a', 80801), (80803, 'st8 b', 80802),"
    " (80804, 'st8 noport', 80803), (80805, 'st8 missing', 80899),"
    " (80821, 'st8 r1', NULL), (80822, 'st8 r2', NULL)",
    // st8_first: a group without server, then one naming server a, then one naming server b.
    "INSERT INTO ax_usergroup_users (id, usergroup_id, user_id) VALUES"
    " (80801, 80801, 'st8_first'), (80802, 80802, 'st8_first'), (80803, 80803, 'st8_first'),"
    " (80804, 80801, 'st8_fallback'), (80805, 80804, 'st8_noport'), (80806, 80805, 'st8_missing'),"
    " (80807, 80803, 'st8_o''quote'), (80821, 80821, 'st8_redir'), (80822, 80822, 'st8_redir')",
    "INSERT INTO ax_storageredirection (id, server_id, server_path, client_path) VALUES"
    " (80821, 80821, '/srv/st8/s1', 'S:'), (80822, 80821, '/srv/st8/s2', 'T:')",
    "INSERT INTO ax_userstorageredirection (id, user_id, server_path, client_path) VALUES"
    " (80821, 'st8_redir', '/srv/st8/u', 'U:'), (80822, 'st8_o''quote', '/srv/st8/q', 'Q:')",
    // Both groups of st8_redir share one rule.
    "INSERT INTO ax_groupstorageredirection (id, group_id, server_path, client_path) VALUES"
    " (80821, 80821, '/srv/st8/common', 'C:'), (80822, 80822, '/srv/st8/common', 'C:')",
};

} // namespace

class ProfilesServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void location_data();
    void location();
    void withoutPlatformParameters();
    void redirections_data();
    void redirections();

private:
    void removeFixtures();
    QByteArray requestAs(const QByteArray &user, const QByteArray &request, const char *source = nullptr);

    TestDatabase database;
    std::unique_ptr<TestServer> server;
};

void ProfilesServerTest::initTestCase()
{
    QVERIFY2(database.lastError().isEmpty(), qPrintable(database.lastError()));
    removeFixtures();
    for (const char *sql : fixtures)
        QVERIFY2(database.exec(sql), qPrintable(database.lastError()));
    server = std::make_unique<TestServer>();
    server->setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
    QVERIFY(server->start());
}

void ProfilesServerTest::cleanupTestCase()
{
    removeFixtures();
    if (server) {
        server->interrupt();
        QVERIFY(server->waitForExit());
    }
}

void ProfilesServerTest::removeFixtures()
{
    for (const char *table : fixtureTables)
        database.exec(QStringLiteral("DELETE FROM %1 WHERE id BETWEEN 80801 AND 80899").arg(table));
}

// Logs in with this server's token, which accepts any user name.
QByteArray ProfilesServerTest::requestAs(const QByteArray &user, const QByteArray &request, const char *source)
{
    TestClient client(server->port(), "127.0.0.1", source);
    if (client.request("login?" + user + "&&" + serverToken) != "Authentication ok.\n")
        return "login failed";
    return client.request(request);
}

void ProfilesServerTest::location_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("first group naming a server wins") << QByteArray("st8_first") << QByteArray("127.8.8.1:4601\n");
    // The sample parameters name server 1.
    QTest::newRow("groups name none") << QByteArray("st8_fallback") << QByteArray("127.0.0.1:4445\n");
    QTest::newRow("no group at all") << QByteArray("st8_nogroup") << QByteArray("127.0.0.1:4445\n");
    QTest::newRow("port not a number") << QByteArray("st8_noport") << QByteArray("127.8.8.3:\n");
    QTest::newRow("server row missing") << QByteArray("st8_missing") << QByteArray("\n");
    QTest::newRow("quote in the user name") << QByteArray("st8_o'quote") << QByteArray("127.8.8.2:4602\n");
}

void ProfilesServerTest::location()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, reply);
    QCOMPARE(requestAs(user, "get_profiles_server"), reply);
}

// Changes the shared "ax_parameters" rows for a moment and puts them back, even on failure.
void ProfilesServerTest::withoutPlatformParameters()
{
    const QList<QStringList> saved = database.rows("SELECT id, profile_server_id, profile_path FROM ax_parameters");
    const auto restore = qScopeGuard([&] {
        database.exec("DELETE FROM ax_parameters WHERE id BETWEEN 80801 AND 80899");
        const auto sqlValue = [](const QString &v) { return v.isNull() ? QStringLiteral("NULL") : "'" + v + "'"; };
        for (const QStringList &row : saved) {
            database.exec(QStringLiteral("UPDATE ax_parameters SET profile_server_id=%1, profile_path=%2 WHERE id=%3")
                              .arg(sqlValue(row[1]), sqlValue(row[2]), row[0]));
        }
    });
    QVERIFY(database.exec("UPDATE ax_parameters SET profile_server_id=NULL, profile_path=''"));
    QVERIFY(database.exec("INSERT INTO ax_parameters (id, profile_server_id, profile_path) VALUES"
                          " (80801, -1, NULL), (80802, NULL, '/srv/st8/profiles'), (80803, NULL, '/srv/st8/later')"));

    QCOMPARE(requestAs("st8_nogroup", "get_profiles_server"), QByteArray("\n"));
    QCOMPARE(requestAs("st8_fallback", "get_profiles_server"), QByteArray("\n"));
    QCOMPARE(requestAs("st8_first", "get_profiles_server"), QByteArray("127.8.8.1:4601\n"));
    // Empty and missing paths are skipped.
    QCOMPARE(requestAs("st8_nogroup", "get_profiles_path"), QByteArray("/srv/st8/profiles\n"));
}

void ProfilesServerTest::redirections_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("registered client: server rules first")
        << QByteArray("127.8.8.21") << QByteArray("st8_redir")
        << QByteArray("/srv/st8/s1=S:,/srv/st8/s2=T:,/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n");
    QTest::newRow("unregistered client: user and group rules")
        << QByteArray("127.8.8.22") << QByteArray("st8_redir")
        << QByteArray("/srv/st8/u=U:,/srv/st8/common=C:,/srv/st8/common=C:\n");
    QTest::newRow("quote in the user name") << QByteArray("127.8.8.22") << QByteArray("st8_o'quote")
                                            << QByteArray("/srv/st8/q=Q:\n");
    QTest::newRow("no rules") << QByteArray("127.8.8.22") << QByteArray("st8_nobody") << QByteArray("\n");
}

void ProfilesServerTest::redirections()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, reply);
    // The rules are those of the user named in the request, not of the one logged in.
    QCOMPARE(requestAs("st8_someone", "get_redirect_drives?" + user, source.constData()), reply);
}

QTEST_GUILESS_MAIN(ProfilesServerTest)
#include "tst_profilesserver.moc"
