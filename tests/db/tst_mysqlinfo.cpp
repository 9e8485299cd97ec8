// The database layer against the real test database, on a scratch table of its own.
#include "db/mysqlinfo.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

class MySqlInfoTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MySqlInfo> open()
    {
        const TestDbParameters p = testDbParameters();
        auto info = std::make_unique<MySqlInfo>(p.host, p.port);
        return info->openDatabase(p.user, p.password) ? std::move(info) : nullptr;
    }

    // Settings of a client connection's kind, read at every borrow.
    static MySqlInfo::SettingsSource pool(const QString &addresses, int size = 16, int timeoutMs = 5000)
    {
        return [=] {
            const TestDbParameters p = testDbParameters();
            MySqlInfo::PoolSettings s;
            s.target = MySqlTarget{addresses, p.port, p.user, p.password};
            s.size = size;
            s.borrowTimeoutMs = timeoutMs;
            return s;
        };
    }

    static QString connectionId(MySqlInfo &db)
    {
        return db.selectColumn(QStringLiteral("(SELECT CONNECTION_ID() AS c) t"), "c", "1").value(0);
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
        QVERIFY(!unreachable.openDatabase("nobody", "nothing") && !unreachable.isOpen());
        QCOMPARE(unreachable.selectColumn(table, "v", "1"), QStringList());
        QVERIFY(!unreachable.insertRow(table, {"k"}, {QStringLiteral("x")}));
        QVERIFY(!unreachable.updateColumn(table, "1", "v", "x"));
    }

    // Bound selects: the values travel apart from the text, which the server prepares once per
    // connection; a borrow and a run send nothing else (no check, no reset of the statement).
    void boundSelects()
    {
        MySqlInfo db(pool(QStringLiteral("127.0.0.1")));
        const QString hostile = QStringLiteral("x' OR '1'='1");
        const QString wide = QString(200, QChar(0xe9)); // 400 bytes: more than a row's first read
        QVERIFY(db.insertRow(table, {"k", "v"}, {QStringLiteral("bound"), wide}));
        db.endRequest();
        const auto counters = [&] {
            return fixture.rows("SELECT VARIABLE_NAME, VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                "WHERE VARIABLE_NAME IN ('COM_STMT_PREPARE', 'COM_STMT_EXECUTE', "
                                "'COM_STMT_RESET', 'COM_ADMIN_COMMANDS') ORDER BY 1");
        };
        const QList<QStringList> before = counters();
        for (int request = 0; request < 3; ++request) {
            QCOMPARE(db.selectColumn(table, "n", "k=? ORDER BY id", {"three"}), QStringList({"1", "2", ""}));
            QCOMPARE(db.selectColumn(table, "k", "v=? OR k=?", {hostile, "'"}), QStringList());
            QCOMPARE(db.selectColumn(table, "v", "k=?", {"bound"}), QStringList({wide}));
            db.endRequest();
        }
        const QList<QStringList> after = counters();
        QVERIFY2(after.size() == 4, qPrintable(fixture.lastError()));
        // Admin commands (a ping), executions, preparations, resets: in the names' order.
        const int expected[] = {0, 9, 3, 0};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(after[i][1].toInt() - before[i][1].toInt(), expected[i]);
        // A broken text answers nothing, and so do values that do not fit its placeholders.
        QCOMPARE(db.selectColumn(table, "nosuchcolumn", "k=?", {"three"}), QStringList());
        QCOMPARE(db.selectColumn(table, "v", "k=?", {"three", "extra"}), QStringList());
        // A killed connection is noticed at the next run, prepared again on a fresh one.
        const QString id = connectionId(db);
        QVERIFY(fixture.exec("KILL " + id));
        QCOMPARE(db.selectColumn(table, "v", "k=? ORDER BY id", {"three"}), QStringList({"a", "b", "c"}));
        QVERIFY(connectionId(db) != id);
    }

    void hostLists_data()
    {
        QTest::addColumn<QString>("addresses");
        QTest::addColumn<QStringList>("hosts");
        QTest::newRow("one") << "db" << QStringList{"db:3306"};
        QTest::newRow("ports, blanks, empties") << " a:3307 ,, b " << QStringList{"a:3307", "b:3306"};
        QTest::newRow("no port number") << "a:x,[::1]:1" << QStringList{"a:x:3306", "[::1]:1:3306"};
    }

    void hostLists()
    {
        QFETCH(QString, addresses);
        QFETCH(QStringList, hosts);
        QStringList got;
        for (const MySqlHost &h : parseHostList(addresses, 3306))
            got.append(h.name + ':' + QString::number(h.port));
        QCOMPARE(got, hosts);
    }

    void readGoesToFreshConnection()
    {
        MySqlInfo db(pool(QStringLiteral("127.0.0.1")));
        const QString id = connectionId(db);
        QVERIFY(fixture.exec("KILL " + id));
        // The killed connection is noticed and the read answered on another one.
        QCOMPARE(db.selectColumn(table, "v", "id=1"), QStringList({"a"}));
        QVERIFY(connectionId(db) != id);
    }

    void borrowTimeoutAnswersNothing()
    {
        MySqlInfo holder(pool(QStringLiteral("127.0.0.1"), 1, 200));
        MySqlInfo waiter(pool(QStringLiteral("127.0.0.1"), 1, 200));
        QVERIFY(holder.isOpen());
        QCOMPARE(waiter.selectColumn(table, "v", "id=1"), QStringList());
        QVERIFY(!waiter.insertRow(table, {"k"}, {QStringLiteral("never")}));
        holder.endRequest();
        waiter.endRequest();
        QCOMPARE(waiter.selectColumn(table, "v", "id=1"), QStringList({"a"}));
        QCOMPARE(fixture.value("SELECT COUNT(*) FROM " + table + " WHERE k='never'"), QStringLiteral("0"));
    }

    void settingsChangeRetiresConnections()
    {
        const TestDbParameters p = testDbParameters();
        QString addresses = QStringLiteral("127.0.0.1");
        MySqlInfo lent([&] { return pool(addresses)(); });
        MySqlInfo idle([&] { return pool(addresses)(); });
        QVERIFY(lent.isOpen() && idle.isOpen());
        idle.endRequest();
        const std::shared_ptr<MySqlPool> old = MySqlPool::forTarget(pool(addresses)().target);
        QCOMPARE(old->openConnections(), 2);
        // The same database written another way is another set of settings.
        addresses = QStringLiteral("127.0.0.1:%1").arg(p.port);
        QCOMPARE(idle.selectColumn(table, "v", "id=1"), QStringList({"a"}));
        QCOMPARE(old->openConnections(), 1);
        lent.endRequest();
        QCOMPARE(old->openConnections(), 0);
    }

    void failsOverToNextHost()
    {
        const QString addresses = QStringLiteral("127.0.0.1:%1, 127.0.0.1").arg(TestServer::freePort());
        MySqlInfo db(pool(addresses));
        QCOMPARE(db.selectColumn(table, "v", "id=1"), QStringList({"a"}));
        QCOMPARE(MySqlPool::forTarget(pool(addresses)().target)->preferredHost(), 1);
    }
};

QTEST_GUILESS_MAIN(MySqlInfoTest)
#include "tst_mysqlinfo.moc"
