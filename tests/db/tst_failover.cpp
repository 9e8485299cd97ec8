// The server under steady load from 16 logged-in clients while its database fails: the node in
// use of a three-node MariaDB Galera cluster is killed, and a private MariaDB is stopped for ten
// seconds. Both databases are started here, once per run, by the scripts in scripts/.
#include "db/mysqlinfo.h"
#include "testserver.h"

#include <QtTest>
#include <QRandomGenerator>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Runs scripts/NAME with arguments; its "KEY=value" lines and "ok", or nothing when it failed.
QHash<QString, QString> runScript(const QString &name, const QStringList &arguments)
{
    const ProgramResult r = runProgram(QStringLiteral("bash"),
                                       QStringList{QStringLiteral(AMBRIX_SOURCE_DIR "/scripts/") + name} + arguments,
                                       QByteArray(), QProcessEnvironment::systemEnvironment(), 240000);
    QHash<QString, QString> values;
    if (r.exitCode != 0) {
        qWarning("%s", r.err.constData());
        return values;
    }
    values.insert(QStringLiteral("ok"), QStringLiteral("1"));
    for (const QByteArray &line : r.out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return values;
}

struct Answer {
    Clock::time_point at;
    int client;
    QByteArray message;
    QByteArray reply; // empty: no answer came
};

// Clients logged in as alice, each sending its messages one after the other on one connection
// for the whole run and keeping every answer.
class Load
{
public:
    Load(quint16 port, int clients, std::function<QByteArray(int client, int n)> message)
    {
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([=] {
                TestClient client(port);
                if (client.request("login?alice&&" + QByteArray(SampleData::AliceToken)) != "Authentication ok.\n")
                    return;
                ++loggedIn;
                for (int n = 0; !stopping; ++n) {
                    const QByteArray m = message(c, n);
                    const QByteArray reply = client.request(m, 30000);
                    std::lock_guard<std::mutex> locker(lock);
                    answers.push_back({Clock::now(), c, m, reply});
                    if (reply.isEmpty())
                        return;
                    // Paced, so that fast failures during an outage do not starve the machine.
                    QThread::msleep(2);
                }
            });
        }
    }
    ~Load() { stop(); }

    void stop()
    {
        stopping = true;
        for (std::thread &t : threads) {
            if (t.joinable())
                t.join();
        }
    }
    int count()
    {
        std::lock_guard<std::mutex> locker(lock);
        return int(answers.size());
    }
    // Runs the load on for the given time.
    void runFor(Clock::duration d)
    {
        const Clock::time_point end = Clock::now() + d;
        waitUntil([&] { return Clock::now() >= end; }, int(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + 1000);
    }

    std::atomic<int> loggedIn{0};
    std::vector<Answer> answers;

private:
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<std::thread> threads;
};

// The first column of every row of sql on the database at port, as the catalogue's user.
QStringList columnOn(int port, const QString &sql)
{
    const QString name = QStringLiteral("check-%1").arg(port);
    QStringList values;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(port);
        db.setDatabaseName(QStringLiteral("ambrix"));
        const TestDbParameters p = testDbParameters(); // the scripts create the same user
        if (db.open(p.user, p.password)) {
            QSqlQuery q(db);
            q.exec(sql);
            while (q.next())
                values.append(q.value(0).toString());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return values;
}

} // namespace

class FailoverTest : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QHash<QString, QString> cluster;
    QHash<QString, QString> single;

    void pointAt(TestServer &server, const QString &addresses)
    {
        server.setSetting(QStringLiteral("Server/MySqlServerAddress"), addresses);
        server.setEnv(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
        // As an operator writes a list: without the quotes QSettings would add.
        QFile ini(server.settingsPath());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray text = ini.readAll().replace('"' + addresses.toUtf8() + '"', addresses.toUtf8());
        ini.close();
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) && ini.write(text) == text.size());
    }

    // Every answer is the right one or what a failed query answers, never anything between.
    static void checkAnswers(const std::vector<Answer> &answers, const QByteArray &applications,
                             Clock::time_point failedFrom, Clock::time_point failedUntil)
    {
        int failures = 0;
        qint64 lastMs = 0;
        for (const Answer &a : answers) {
            QVERIFY2(!a.reply.isEmpty(), "a request went unanswered");
            const bool catalogue = a.message == "get_valid_applications";
            const QByteArray right = catalogue ? applications : QByteArray("Ok\n");
            const QByteArray failed = catalogue ? QByteArray("\n") : QByteArray("Error inserting record on events database\n");
            QVERIFY2(a.reply == right || a.reply == failed, a.reply.constData());
            if (a.reply == failed) {
                QVERIFY2(a.at >= failedFrom && a.at <= failedUntil, "a database failure outside the outage");
                ++failures;
                lastMs = std::chrono::duration_cast<std::chrono::milliseconds>(a.at - failedFrom).count();
            }
        }
        qInfo("%d answers, %d of them database failures, the last %lld ms after the failure began",
              int(answers.size()), failures, lastMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        cluster = runScript(QStringLiteral("galera-cluster"), {QStringLiteral("start"), work.filePath(QStringLiteral("cluster"))});
        QVERIFY2(cluster.contains(QStringLiteral("ok")), "the cluster did not start");
        single = runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("start"), work.filePath(QStringLiteral("single"))});
        QVERIFY2(single.contains(QStringLiteral("ok")), "the private MariaDB did not start");
    }

    void cleanupTestCase()
    {
        runScript(QStringLiteral("galera-cluster"), {QStringLiteral("stop"), work.filePath(QStringLiteral("cluster"))});
        runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("remove"), work.filePath(QStringLiteral("single"))});
    }

    void clusterNodeKilled()
    {
        TestServer server;
        pointAt(server, cluster.value(QStringLiteral("GALERA_ADDRESSES")));
        QVERIFY(server.start());
        const QByteArray applications = server.login()->request("get_valid_applications");
        QVERIFY(applications.size() > 1);
        // Event texts carry the process id: a unique one per request.
        const quint32 base = QRandomGenerator::global()->bounded(1u << 30);
        Load load(server.port(), 16, [=](int c, int n) {
            return n % 2 ? QByteArray("get_valid_applications")
                         : "start_application?8&" + QByteArray::number(base + quint32(c) * 100000 + quint32(n));
        });
        QVERIFY(waitUntil([&] { return load.count() >= 400; }, 30000));
        QCOMPARE(load.loggedIn.load(), 16);

        const Clock::time_point killed = Clock::now();
        QVERIFY(runScript(QStringLiteral("galera-cluster"),
                          {QStringLiteral("kill"), work.filePath(QStringLiteral("cluster")), QStringLiteral("1")})
                    .contains(QStringLiteral("ok")));
        load.runFor(seconds(4));
        load.stop();
        checkAnswers(load.answers, applications, killed, killed + seconds(2));

        QSet<QString> written;
        for (const Answer &a : load.answers) {
            if (a.reply == "Ok\n")
                written.insert(QString::fromUtf8(a.message.mid(a.message.lastIndexOf('&') + 1)));
        }
        QVERIFY(written.size() > 100);
        const QStringList ports = cluster.value(QStringLiteral("GALERA_PORTS")).split(QLatin1Char(','));
        for (const QString &port : ports.mid(1)) {
            QSet<QString> stored;
            for (const QString &text : columnOn(port.toInt(), QStringLiteral("SELECT text FROM ax_log WHERE text LIKE '%with process Id %'")))
                stored.insert(text.section(QLatin1Char(' '), -1));
            QVERIFY2(stored.contains(written), qPrintable("missing on the node of port " + port));
        }
    }

    void databaseStoppedAndBack()
    {
        const QString dir = work.filePath(QStringLiteral("single"));
        const int port = single.value(QStringLiteral("DB_PORT")).toInt();
        TestServer server;
        pointAt(server, QStringLiteral("127.0.0.1"));
        server.setSetting(QStringLiteral("Server/MySqlServerPort"), port);
        server.setSetting(QStringLiteral("Server/MySqlPoolSize"), 4);
        QVERIFY(server.start());
        const QByteArray applications = server.login()->request("get_valid_applications");
        QVERIFY(applications.size() > 1);

        // Idle logged-in clients hold no database connection: the pool's few serve them all.
        std::vector<std::unique_ptr<TestClient>> idle;
        for (int i = 0; i < 24; ++i)
            idle.push_back(server.login());
        QVERIFY(std::all_of(idle.begin(), idle.end(), [](const auto &c) { return c != nullptr; }));
        const QStringList connected = columnOn(port, QStringLiteral("SELECT COUNT(*) - 1 FROM information_schema.PROCESSLIST"));
        QVERIFY2(connected.value(0).toInt() <= 4, qPrintable(connected.value(0)));

        Load load(server.port(), 16, [](int, int) { return QByteArray("get_valid_applications"); });
        QVERIFY(waitUntil([&] { return load.count() >= 200; }, 30000));
        const Clock::time_point stopped = Clock::now();
        QVERIFY(runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("stop"), dir}).contains(QStringLiteral("ok")));
        load.runFor(seconds(10));
        QVERIFY(runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("resume"), dir}).contains(QStringLiteral("ok")));
        const Clock::time_point back = Clock::now();
        load.runFor(seconds(4));
        load.stop();
        checkAnswers(load.answers, applications, stopped, back + seconds(2));
        // Every client, on its own connection, was answered right again after the return.
        QSet<int> again;
        for (const Answer &a : load.answers) {
            if (a.at > back && a.reply == applications)
                again.insert(a.client);
        }
        QCOMPARE(again.size(), 16);
    }

    void backToEarlierHostOnceItAnswers()
    {
        // The private MariaDB first, the shared test database second.
        const QString dir = work.filePath(QStringLiteral("single"));
        const TestDbParameters p = testDbParameters();
        MySqlInfo db([&] {
            MySqlInfo::PoolSettings s;
            s.target = MySqlTarget{QStringLiteral("127.0.0.1:%1,127.0.0.1:%2").arg(single.value(QStringLiteral("DB_PORT"))).arg(p.port),
                                   3306, p.user, p.password};
            return s;
        });
        const auto servedBy = [&] {
            const QString port = db.selectColumn(QStringLiteral("(SELECT @@port AS p) t"), QStringLiteral("p"), QStringLiteral("1")).value(0);
            db.endRequest();
            return port;
        };
        QCOMPARE(servedBy(), single.value(QStringLiteral("DB_PORT")));
        QVERIFY(runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("stop"), dir}).contains(QStringLiteral("ok")));
        QCOMPARE(servedBy(), QString::number(p.port));
        QVERIFY(runScript(QStringLiteral("mariadb-instance"), {QStringLiteral("resume"), dir}).contains(QStringLiteral("ok")));
        QVERIFY(waitUntil([&] { return servedBy() == single.value(QStringLiteral("DB_PORT")); }, 10000));
    }
};

QTEST_GUILESS_MAIN(FailoverTest)
#include "tst_failover.moc"
