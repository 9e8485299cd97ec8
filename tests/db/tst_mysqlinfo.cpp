// The database layer against the real test database, on a scratch table of its own.
#include "db/mysqlinfo.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

class MySqlInfoTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void selects();
    void insertRow();
    void updateColumn();
    void hostileValuesStayInert();
    void connectionNamesNeverCollide();
    void unreachableServer();

private:
    std::unique_ptr<MySqlInfo> open(const QString &name = QStringLiteral("5"));
    TestDatabase fixture;
    QString table;
};

std::unique_ptr<MySqlInfo> MySqlInfoTest::open(const QString &name)
{
    const TestDbParameters p = testDbParameters();
    auto info = std::make_unique<MySqlInfo>(p.host, p.port);
    if (!info->openDatabase(p.user, p.password, name))
        return nullptr;
    return info;
}

void MySqlInfoTest::initTestCase()
{
    QVERIFY2(fixture.lastError().isEmpty(), qPrintable(fixture.lastError()));
    table = QStringLiteral("tmp_mysqlinfo_%1").arg(QCoreApplication::applicationPid());
    QVERIFY(fixture.exec("DROP TABLE IF EXISTS " + table));
    QVERIFY2(fixture.exec("CREATE TABLE " + table
                          + " (id INT AUTO_INCREMENT PRIMARY KEY, k VARCHAR(64), v VARCHAR(255), n INT NULL)"),
             qPrintable(fixture.lastError()));
    QVERIFY(fixture.exec("INSERT INTO " + table
                         + " (k, v, n) VALUES ('three','a',1),('three','b',2),('three','c',NULL),('one','x',7)"));
}

void MySqlInfoTest::cleanupTestCase()
{
    fixture.exec("DROP TABLE IF EXISTS " + table);
}

void MySqlInfoTest::selects()
{
    auto db = open();
    QVERIFY(db && db->isOpen());
    QCOMPARE(db->selectColumn(table, "v", "k='three' ORDER BY id"), QStringList({"a", "b", "c"}));
    QCOMPARE(db->selectColumn(table, "v", "k='none'"), QStringList());
    QCOMPARE(db->selectRow(table, "k='none'", {"v", "n"}), QStringList());
    QCOMPARE(db->selectRow(table, "k='three' ORDER BY id", {"v", "n"}), QStringList({"a", "1"}));
    // NULL reads as an empty text; numbers in decimal.
    QCOMPARE(db->selectColumn(table, "n", "k='three' ORDER BY id"), QStringList({"1", "2", ""}));
    // More names than columns: the missing ones are empty.
    const QList<QStringList> rows = db->queryRows("SELECT v FROM " + table + " WHERE k='one'", {"v", "w"});
    QCOMPARE(rows, QList<QStringList>({QStringList({"x", ""})}));
    QCOMPARE(db->queryRows("SELECT v FROM " + table + " WHERE k='none'", {"v"}), QList<QStringList>());
    // A broken statement is an empty answer, like no match.
    QCOMPARE(db->selectColumn(table, "nosuchcolumn", "1"), QStringList());
}

void MySqlInfoTest::insertRow()
{
    auto db = open();
    QVERIFY(db);
    QVERIFY(!db->insertRow(table, {"k", "v", "n"}, {QStringLiteral("ins"), QStringLiteral("x")}));
    QCOMPARE(fixture.value("SELECT COUNT(*) FROM " + table + " WHERE k='ins'"), QStringLiteral("0"));
    QVERIFY(db->insertRow(table, {"k", "v", "n"}, {QStringLiteral("ins"), QStringLiteral("it's"), 42}));
    QCOMPARE(fixture.rows("SELECT v, n FROM " + table + " WHERE k='ins'"),
             QList<QStringList>({QStringList({"it's", "42"})}));
    QVERIFY(!db->insertRow("no_such_table", {"k"}, {QStringLiteral("x")}));
}

void MySqlInfoTest::updateColumn()
{
    auto db = open();
    QVERIFY(db);
    QVERIFY(db->updateColumn(table, "k='one'", "v", "y"));
    QCOMPARE(fixture.value("SELECT v FROM " + table + " WHERE k='one'"), QStringLiteral("y"));
    QVERIFY(db->updateColumn(table, "k='missing'", "v", "z")); // no row matched is no failure
    QVERIFY(!db->updateColumn(table, "k='one'", "nosuchcolumn", "z"));
}

void MySqlInfoTest::hostileValuesStayInert()
{
    auto db = open();
    QVERIFY(db);
    const QString rowsBefore = fixture.value("SELECT COUNT(*) FROM " + table);
    const QString hostile = QStringLiteral("O'Brien\\' OR '1'='1'; DROP TABLE x; -- \n\\\\");
    QVERIFY(db->updateColumn(table, "k='one'", "v", hostile));
    QCOMPARE(fixture.value("SELECT v FROM " + table + " WHERE k='one'"), hostile);
    // The same value in a caller's condition matches only itself.
    QCOMPARE(db->selectColumn(table, "k", "v='" + MySqlInfo::escape(hostile) + "'"), QStringList({"one"}));
    QCOMPARE(db->selectColumn(table, "v", "k='" + MySqlInfo::escape("x' OR '1'='1") + "'"), QStringList());
    QCOMPARE(fixture.value("SELECT COUNT(*) FROM " + table), rowsBefore);
}

void MySqlInfoTest::connectionNamesNeverCollide()
{
    // Two live connections given the same name (a reused socket number) stay independent.
    auto first = open("9");
    auto second = open("9");
    QVERIFY(first && second);
    QCOMPARE(first->selectColumn(table, "v", "k='three' ORDER BY id LIMIT 1"), QStringList({"a"}));
    second.reset();
    QCOMPARE(first->selectColumn(table, "v", "k='three' ORDER BY id LIMIT 1"), QStringList({"a"}));

    // Opening again on one object replaces its connection, and the end removes the name.
    const int before = QSqlDatabase::connectionNames().size();
    QVERIFY(first->openDatabase(testDbParameters().user, testDbParameters().password, "9"));
    QCOMPARE(QSqlDatabase::connectionNames().size(), before);
    first.reset();
    QCOMPARE(QSqlDatabase::connectionNames().size(), before - 1);
}

void MySqlInfoTest::unreachableServer()
{
    MySqlInfo db(QStringLiteral("127.0.0.1"), TestServer::freePort());
    QVERIFY(!db.openDatabase("nobody", "nothing", "3"));
    QVERIFY(!db.isOpen());
    QCOMPARE(db.selectColumn(table, "v", "1"), QStringList());
    QVERIFY(!db.insertRow(table, {"k"}, {QStringLiteral("x")}));
    QVERIFY(!db.updateColumn(table, "1", "v", "x"));
}

QTEST_GUILESS_MAIN(MySqlInfoTest)
#include "tst_mysqlinfo.moc"
