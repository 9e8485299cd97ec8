// The database layer against the real test database, on a scratch table of its own.
#include "db/mysqlinfo.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

class MySqlInfoTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MySqlInfo> open(const QString &name = QStringLiteral("5"))
    {
        const TestDbParameters p = testDbParameters();
        auto info = std::make_unique<MySqlInfo>(p.host, p.port);
        return info->openDatabase(p.user, p.password, name) ? std::move(info) : nullptr;
    }

    TestDatabase fixture;
    const QString table = QStringLiteral("tmp_mysqlinfo");

private slots:
    void initTestCase() { QVERIFY2(fixture.load("mysqlinfo"), qPrintable(fixture.lastError())); }

    void selectsAndWrites()
    {
        auto db = open();
        QVERIFY(db && db->isOpen());
        // NULL reads as an empty text, numbers in decimal; more names than columns give empty ones.
        QCOMPARE(db->selectColumn(table, "n", "k='three' ORDER BY id"), QStringList({"1", "2", ""}));
        QCOMPARE(db->queryRows("SELECT v FROM " + table + " WHERE k='one'", {"v", "w"}), QList<QStringList>({{"x", ""}}));
        // A row with values missing is not written at all.
        QVERIFY(!db->insertRow(table, {"k", "v", "n"}, {QStringLiteral("ins"), QStringLiteral("x")}));
        QVERIFY(db->insertRow(table, {"k", "v", "n"}, {QStringLiteral("ins"), QStringLiteral("it's"), 42}));
        QCOMPARE(fixture.rows("SELECT v, n FROM " + table + " WHERE k='ins'"), QList<QStringList>({{"it's", "42"}}));
        QVERIFY(!db->updateColumn(table, "k='one'", "nosuchcolumn", "z"));
        // A broken select answers nothing, and the next one on the same connection as usual.
        QCOMPARE(db->selectColumn(table, "nosuchcolumn", "1"), QStringList());
        QCOMPARE(db->selectRow(table, "k='three' ORDER BY id", {"v", "n"}), QStringList({"a", "1"}));

        // Hostile values are inert, in a written value and in a caller's condition alike.
        const QString rowsBefore = fixture.value("SELECT COUNT(*) FROM " + table);
        const QString hostile = QStringLiteral("O'Brien\\' OR '1'='1'; DROP TABLE x; -- \n\\\\");
        QVERIFY(db->updateColumn(table, "k='one'", "v", hostile));
        QCOMPARE(fixture.value("SELECT v FROM " + table + " WHERE k='one'"), hostile);
        QCOMPARE(db->selectColumn(table, "k", "v=" + MySqlInfo::quote(hostile)), QStringList({"one"}));
        QCOMPARE(db->selectColumn(table, "v", "k=" + MySqlInfo::quote("x' OR '1'='1")), QStringList());
        QCOMPARE(fixture.value("SELECT COUNT(*) FROM " + table), rowsBefore);

        // A closed connection answers nothing, whatever ran on it before; so does one never opened.
        db->closeDatabase();
        QCOMPARE(db->selectColumn(table, "v", "k='three'"), QStringList());
        MySqlInfo unreachable(QStringLiteral("127.0.0.1"), TestServer::freePort());
        QVERIFY(!unreachable.openDatabase("nobody", "nothing", "3") && !unreachable.isOpen());
        QCOMPARE(unreachable.selectColumn(table, "v", "1"), QStringList());
        QVERIFY(!unreachable.insertRow(table, {"k"}, {QStringLiteral("x")}));
        QVERIFY(!unreachable.updateColumn(table, "1", "v", "x"));
    }

    void connectionNamesNeverCollide()
    {
        // Two live connections given the same name (a reused socket number) stay independent.
        auto first = open("9");
        auto second = open("9");
        QVERIFY(first && second);
        second.reset();
        QCOMPARE(first->selectColumn(table, "v", "k='three' ORDER BY id LIMIT 1"), QStringList({"a"}));
        // Opening again on one object replaces its connection, and the end removes the name.
        const int before = QSqlDatabase::connectionNames().size();
        QVERIFY(first->openDatabase(testDbParameters().user, testDbParameters().password, "9"));
        QCOMPARE(QSqlDatabase::connectionNames().size(), before);
        QCOMPARE(first->selectColumn(table, "v", "k='three' ORDER BY id LIMIT 1"), QStringList({"a"}));
        first.reset();
        QCOMPARE(QSqlDatabase::connectionNames().size(), before - 1);
    }
};

QTEST_GUILESS_MAIN(MySqlInfoTest)
#include "tst_mysqlinfo.moc"
