// User tokens in ax_user, against the real test database.
#include "accounts/axusercommand.h"
#include "db/mysqlinfo.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtTest>

namespace {

const QRegularExpression tokenForm(QStringLiteral("^[A-Za-z0-9]{64}$"));

} // namespace

class UserTokensTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void activateTwiceKeepsTheLatest();
    void namesWithoutARowGetNoToken_data();
    void namesWithoutARowGetNoToken();
    void quoteInANameIsJustACharacter();
    void userNameById_data();
    void userNameById();
    void noDatabase();

private:
    QString storedToken(const QString &name);

    TestDatabase fixture;
    std::unique_ptr<MySqlInfo> db;
    QString prefix;
    QString plain;
    QString quoted;
};

void UserTokensTest::initTestCase()
{
    QVERIFY2(fixture.lastError().isEmpty(), qPrintable(fixture.lastError()));
    prefix = QStringLiteral("axt%1").arg(QCoreApplication::applicationPid());
    plain = prefix + QStringLiteral("tok");
    quoted = prefix + QStringLiteral("o'q");
    QVERIFY(fixture.exec(QStringLiteral("DELETE FROM ax_user WHERE username LIKE '%1%'").arg(prefix)));
    QVERIFY2(fixture.exec(QStringLiteral("INSERT INTO ax_user (username, full_name, token) VALUES "
                                         "('%1', 'Plain', 'before'), ('%2', 'Quoted', 'before')")
                              .arg(plain, MySqlInfo::escape(quoted))),
             qPrintable(fixture.lastError()));
    const TestDbParameters p = testDbParameters();
    db = std::make_unique<MySqlInfo>(p.host, p.port);
    QVERIFY(db->openDatabase(p.user, p.password, QStringLiteral("7")));
}

void UserTokensTest::cleanupTestCase()
{
    fixture.exec(QStringLiteral("DELETE FROM ax_user WHERE username LIKE '%1%'").arg(prefix));
}

QString UserTokensTest::storedToken(const QString &name)
{
    return fixture.value(QStringLiteral("SELECT token FROM ax_user WHERE username='%1'").arg(MySqlInfo::escape(name)));
}

void UserTokensTest::activateTwiceKeepsTheLatest()
{
    const QString first = AXUserCommand::activateUser(db.get(), plain);
    QVERIFY2(tokenForm.match(first).hasMatch(), qPrintable(first));
    QCOMPARE(storedToken(plain), first);
    const QString second = AXUserCommand::activateUser(db.get(), plain);
    QVERIFY(tokenForm.match(second).hasMatch());
    QVERIFY(second != first);
    QCOMPARE(storedToken(plain), second);
    QCOMPARE(AXUserCommand::userToken(db.get(), plain), second);
}

void UserTokensTest::namesWithoutARowGetNoToken_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("unknown") << QStringLiteral("nosuchuser");
    QTest::newRow("injection") << QStringLiteral("x' OR '1'='1");
    QTest::newRow("backslash and quote") << QStringLiteral("x\\' OR 1=1 -- ");
}

void UserTokensTest::namesWithoutARowGetNoToken()
{
    QFETCH(QString, name);
    const QList<QStringList> before = fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id"));
    // A token stored nowhere would be a password that never works: none is handed out.
    QCOMPARE(AXUserCommand::activateUser(db.get(), name), QString());
    QCOMPARE(AXUserCommand::userToken(db.get(), name), QString());
    QCOMPARE(fixture.rows(QStringLiteral("SELECT id, token FROM ax_user ORDER BY id")), before);
}

void UserTokensTest::quoteInANameIsJustACharacter()
{
    QCOMPARE(AXUserCommand::userToken(db.get(), quoted), QStringLiteral("before"));
    const QString token = AXUserCommand::activateUser(db.get(), quoted);
    QVERIFY(tokenForm.match(token).hasMatch());
    QCOMPARE(storedToken(quoted), token);
    QCOMPARE(AXUserCommand::userToken(db.get(), quoted), token);
    QVERIFY(storedToken(plain) != token);
}

void UserTokensTest::userNameById_data()
{
    QTest::addColumn<QString>("id"); // %1 is the plain user's id
    QTest::addColumn<bool>("found");
    QTest::newRow("the id") << "%1" << true;
    QTest::newRow("leading zeros") << "00%1" << true;
    QTest::newRow("trailing text") << "%1abc" << false;
    QTest::newRow("quote") << "%1' OR '1'='1" << false;
    QTest::newRow("no such id") << "4294967295" << false;
    QTest::newRow("empty") << "" << false;
}

void UserTokensTest::userNameById()
{
    QFETCH(QString, id);
    QFETCH(bool, found);
    const QString plainId = fixture.value(QStringLiteral("SELECT id FROM ax_user WHERE username='%1'").arg(plain));
    QCOMPARE(AXUserCommand::userNameById(db.get(), id.replace(QLatin1String("%1"), plainId)),
             found ? plain : QString());
}

void UserTokensTest::noDatabase()
{
    MySqlInfo closed(QStringLiteral("127.0.0.1"), TestServer::freePort());
    QCOMPARE(AXUserCommand::activateUser(&closed, plain), QString());
    QCOMPARE(AXUserCommand::userToken(&closed, plain), QString());
    QCOMPARE(AXUserCommand::activateUser(nullptr, plain), QString());
    QCOMPARE(AXUserCommand::userNameById(nullptr, QStringLiteral("1")), QString());
}

QTEST_GUILESS_MAIN(UserTokensTest)
#include "tst_usertokens.moc"
