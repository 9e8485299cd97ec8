// The server registry against the real test database, on rows of its own.
#include "db/mysqlinfo.h"
#include "registration/serverregistry.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

class ServerRegistryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void setServerTokenCreatesOnceThenReplaces();
    void setServerTokenWithoutRecordFails();
    void setServerInformation_data();
    void setServerInformation();

private:
    QList<QStringList> rowsOf(const QString &address);
    TestDatabase fixture;
    std::unique_ptr<MySqlInfo> db;
    QString prefix;
};

void ServerRegistryTest::initTestCase()
{
    QVERIFY2(fixture.lastError().isEmpty(), qPrintable(fixture.lastError()));
    const TestDbParameters p = testDbParameters();
    db = std::make_unique<MySqlInfo>(p.host, p.port);
    QVERIFY(db->openDatabase(p.user, p.password, QStringLiteral("registry")));
    prefix = QStringLiteral("tst-registry-%1-").arg(QCoreApplication::applicationPid());
}

void ServerRegistryTest::cleanupTestCase()
{
    fixture.exec("DELETE FROM ax_server WHERE address LIKE '" + prefix + "%'");
}

QList<QStringList> ServerRegistryTest::rowsOf(const QString &address)
{
    return fixture.rows("SELECT name, port, os_id, active, token, ambrix_server, console_server, "
                        "domain_server, desktop_server, application_server, rdp_proxy_server, "
                        "web_client_server, home_storage_server, storage_server, "
                        "infrastructure_server, pxe_server FROM ax_server WHERE address='"
                        + address + "' ORDER BY id");
}

void ServerRegistryTest::setServerTokenCreatesOnceThenReplaces()
{
    const QString address = prefix + "new";
    const QString first(64, QLatin1Char('A'));
    const QString second(64, QLatin1Char('B'));
    QStringList noRoles;
    for (int i = 0; i < 11; ++i)
        noRoles << QStringLiteral("0");

    QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 4999, first), QStringLiteral("Ok"));
    QCOMPARE(rowsOf(address), QList<QStringList>({QStringList{address, "4999", "2", "1", first} + noRoles}));
    const QString id = fixture.value("SELECT id FROM ax_server WHERE address='" + address + "'");

    QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 4999, second), QStringLiteral("Ok"));
    QCOMPARE(rowsOf(address), QList<QStringList>({QStringList{address, "4999", "2", "1", second} + noRoles}));
    QCOMPARE(fixture.value("SELECT id FROM ax_server WHERE address='" + address + "'"), id);

    // Another port on the same host is another server.
    QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 5000, first), QStringLiteral("Ok"));
    QCOMPARE(rowsOf(address).size(), 2);
    QCOMPARE(rowsOf(address).at(0).at(4), second);
}

void ServerRegistryTest::setServerTokenWithoutRecordFails()
{
    // Too long for the address column: no row can be created, so no token is stored.
    const QString address = prefix + QString(300, QLatin1Char('x'));
    QCOMPARE(ServerRegistry::setServerToken(db.get(), address, 4445, QString(64, QLatin1Char('C'))),
             QStringLiteral("Error setting token"));
    QCOMPARE(fixture.value("SELECT COUNT(*) FROM ax_server WHERE address LIKE '" + prefix + "xxx%'"),
             QStringLiteral("0"));
}

void ServerRegistryTest::setServerInformation_data()
{
    // A fixture row (unless stored is "-") with the stored token ("NULL" for none), then one call.
    // The row afterwards: token, console_server, pxe_server, os_id, active.
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("after");

    const QString t1(64, QLatin1Char('1'));
    const QString t2(64, QLatin1Char('2'));
    QTest::newRow("unknown address") << "unknown" << "-" << t1 << "console_server" << "1"
                                     << "No server %1" << QStringList();
    QTest::newRow("first claim") << "claim" << "NULL" << t1 << "console_server" << "1"
                                 << "Ok" << QStringList{t1, "1", "0", "2", "1"};
    QTest::newRow("same token") << "same" << t1 << t1 << "pxe_server" << "1"
                                << "Ok" << QStringList{t1, "0", "1", "2", "0"};
    QTest::newRow("wrong token") << "wrong" << t1 << t2 << "console_server" << "1"
                                 << "Invalid token for server %1" << QStringList{t1, "0", "0", "2", "0"};
    QTest::newRow("other columns refused") << "column" << t1 << t1 << "token" << t2
                                           << "Invalid server type token" << QStringList{t1, "0", "0", "2", "0"};
    QTest::newRow("os_id accepted") << "os" << t1 << t1 << "os_id" << "7"
                                    << "Ok" << QStringList{t1, "0", "0", "7", "0"};
    QTest::newRow("hostile value") << "value" << t1 << t1 << "console_server" << "1', token='stolen"
                                   << "Error setting server type console_server on server: %1"
                                   << QStringList{t1, "0", "0", "2", "0"};
    QTest::newRow("hostile token kept verbatim") << "token" << "NULL" << "x', os_id='9" << "pxe_server" << "1"
                                                 << "Ok" << QStringList{"x', os_id='9", "0", "1", "2", "1"};
    QTest::newRow("hostile address") << "' OR '1'='1" << "-" << t1 << "console_server" << "1"
                                     << "No server %1" << QStringList();
}

void ServerRegistryTest::setServerInformation()
{
    QFETCH(QString, address);
    QFETCH(QString, stored);
    QFETCH(QString, token);
    QFETCH(QString, attribute);
    QFETCH(QString, value);
    QFETCH(QString, reply);
    QFETCH(QStringList, after);

    address = prefix + "info-" + address;
    if (stored != "-") {
        const QString storedSql = stored == "NULL" ? QStringLiteral("NULL") : "'" + stored + "'";
        QVERIFY2(fixture.exec("INSERT INTO ax_server (name, address, port, os_id, token, active) VALUES ('"
                              + address + "', '" + address + "', 4445, 2, " + storedSql + ", 0)"),
                 qPrintable(fixture.lastError()));
    }
    QCOMPARE(ServerRegistry::setServerInformation(db.get(), token, attribute, value, address),
             reply.arg(address));
    const QList<QStringList> rows = fixture.rows(
        "SELECT token, console_server, pxe_server, os_id, active FROM ax_server WHERE address='"
        + QString(address).replace("'", "''") + "'");
    QCOMPARE(rows, after.isEmpty() ? QList<QStringList>() : QList<QStringList>{after});
}

QTEST_GUILESS_MAIN(ServerRegistryTest)
#include "tst_serverregistry.moc"
