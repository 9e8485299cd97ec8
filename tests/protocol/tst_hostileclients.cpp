// Hostile clients against the real server, logged in without privilege under strict privilege,
// in private copies of the host's account files and PXE root, with uploads, user folders and
// media kept in scratch directories:
// - 40,000 random and mutated messages of every kind (fuzz/serverfuzz.cpp), before and after a
//   login, from several clients at once, each batch followed by a probe that must be answered
//   right (seeded: the seed is printed, and AMBRIX_FUZZ_SEED replays a run);
// - every command of the table with parameters holding hostile values: every request is answered
//   and no table changes but those the command is meant to write;
// - after all of it, the metrics carry none of the clients' text.
#include "dispatch/commandtable.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testutil.h"
#include "testserver.h"

#include <QtEndian>
#include <QtTest>

#include <random>

namespace {

const QByteArray serverToken = "hostile-test-token-9Rq";

} // namespace

class HostileClientsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    TestServer server;
    TestDatabase db;
    std::unique_ptr<TestClient> client;
    QByteArray probeReply;

    QByteArray probe()
    {
        const std::unique_ptr<TestClient> fresh = server.login("alice", SampleData::AliceToken);
        return fresh ? fresh->request("get_valid_applications") : QByteArray("login refused");
    }

    // Every table's checksum, by name.
    QMap<QString, QString> checksums()
    {
        QStringList tables;
        for (const QStringList &row : db.rows("SHOW TABLES"))
            tables << row.value(0);
        QMap<QString, QString> sums;
        for (const QStringList &row : db.rows("CHECKSUM TABLE " + tables.join(", ")))
            sums.insert(row.value(0), row.value(1));
        return sums;
    }

    std::unique_ptr<TestClient> loggedIn()
    {
        auto c = std::make_unique<TestClient>(server.port());
        return c->requestLine("login?hostile&&" + serverToken) == "Authentication ok.\n" ? std::move(c) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid() && QDir().mkpath(scratch.filePath("folders")));
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        server.setSetting("Server/RequireAdminGroup", true);
        server.setSetting("Server/UserFolderRoots", scratch.filePath("folders"));
        // Refused at once: no download ever waits.
        server.setSetting("Server/ConsoleMediaBaseURL", "http://127.0.0.1:1/");
        server.setEnv("windir", scratch.path());
        server.enableMetrics();
        QVERIFY(server.start());
        probeReply = probe();
        QVERIFY(probeReply.endsWith('\n'));
    }

    // Ten batches before a login and ten after, each of 8 connections sending 250 messages at once.
    void randomAndMutatedMessages()
    {
        const quint64 seed = qEnvironmentVariableIsSet("AMBRIX_FUZZ_SEED")
                                 ? qEnvironmentVariable("AMBRIX_FUZZ_SEED").toULongLong()
                                 : std::random_device()();
        qInfo("AMBRIX_FUZZ_SEED=%llu", seed);
        for (const bool logIn : {false, true}) {
            for (int batch = 0; batch < 10; ++batch) {
                QStringList args{"--port", QString::number(server.port()), "--seed", QString::number(seed + batch)};
                if (logIn)
                    args << "--user" << "hostile" << "--token" << serverToken;
                const ProgramResult run = runProgram(AMBRIX_SERVERFUZZ_BIN, args);
                QVERIFY2(run.exitCode == 0 && run.out.startsWith("sent 2000 messages"), run.err.constData());
                QVERIFY2(server.isRunning() && probe() == probeReply,
                         qPrintable(QString("seed %1, batch %2, %3").arg(seed + batch).arg(batch).arg(logIn ? "logged in" : "not logged in")));
            }
        }
    }

    void hostileValuesInEveryCommand_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("quote") << QByteArray("a'b");
        QTest::newRow("backslash") << QByteArray("a\\b\\");
        QTest::newRow("percent") << QByteArray("%");
        QTest::newRow("underscore") << QByteArray("_");
        QTest::newRow("1000 characters") << QByteArray(1000, 'w');
        QTest::newRow("parent") << QByteArray("../../etc");
        QTest::newRow("multi-byte") << QByteArray("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    }

    void hostileValuesInEveryCommand()
    {
        QFETCH(QByteArray, value);
        client = loggedIn();
        QVERIFY(client);
        QMap<QString, QString> before = checksums();
        QVERIFY(!before.isEmpty());
        int requests = 0;
        for (const CommandRow *row : CommandTable::allRows()) {
            const int count = qMin(row->maxParameters, 5);
            const QString name = QString::fromLatin1(row->name);
            for (int position = 0; position < qMax(count, 1); ++position) {
                QByteArrayList parameters;
                for (int i = 0; i < count; ++i)
                    parameters << "1";
                const QByteArray head = QByteArray(row->name) + "?";
                if (count > 0)
                    parameters[position] = value.left(1023 - head.size() - 2 * count);
                const QByteArray message = head + parameters.join('&');
                ++requests;
                if (name == QLatin1String(CommandTable::QuitName)) {
                    // Its leading bytes end the connection, without a reply.
                    QVERIFY(client->send(message) && client->waitForClose());
                    client = loggedIn();
                    QVERIFY(client);
                    continue;
                }
                QVERIFY2(client->requestLine(message).endsWith('\n'), message.left(80).constData());
            }
            // The only table a command may change is the one its row says it writes.
            const QString written = row->writes ? QLatin1String("ambrix.") + QLatin1String(row->writes) : QString();
            const QMap<QString, QString> after = checksums();
            for (auto it = after.cbegin(); it != after.cend(); ++it) {
                if (it.key() != written)
                    QVERIFY2(before.value(it.key()) == it.value(), qPrintable(name + " changed " + it.key()));
            }
            before = after;
        }
        for (const ByteArrayRow *row : CommandTable::allByteArrayRows()) {
            const QByteArray head = QByteArray(row->name) + "?";
            QVERIFY(client->send(head + value.left(1023 - head.size())));
            const QByteArray length = client->receiveExactly(4);
            QVERIFY(length.size() == 4);
            const int size = int(qFromBigEndian<quint32>(length.constData()));
            QCOMPARE(client->receiveExactly(size).size(), size);
            ++requests;
        }
        QCOMPARE(checksums(), before);
        QCOMPARE(probe(), probeReply);
        qInfo("%d requests, every one answered", requests);
    }

    // Every label value is a name of the command tables, a fixed word or a bucket's bound.
    void metricsCarryNoClientText()
    {
        QSet<QByteArray> allowed{"other", "ok", "error", "refused", "bad_parameters", "unknown_command", "none",
                                 "user_token", "principal_server", "server_token", "host_password", "unchecked",
                                 "in_use", "idle", AMBRIX_VERSION};
        for (const CommandRow *row : CommandTable::allRows())
            allowed.insert(row->name);
        for (const ByteArrayRow *row : CommandTable::allByteArrayRows())
            allowed.insert(row->name);
        const QByteArray scrape = server.metrics();
        QVERIFY(scrape.startsWith("HTTP/1.1 200 OK"));
        const QRegularExpression label(QStringLiteral("(\\w+)=\"([^\"]*)\""));
        for (auto it = label.globalMatch(QString::fromUtf8(scrape)); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const QByteArray value = m.captured(2).toUtf8();
            QVERIFY2(allowed.contains(value) || (m.captured(1) == "le" && (value == "+Inf" || value.toDouble() > 0)),
                     value.left(80).constData());
        }
        for (const QByteArray &text : {serverToken, QByteArray(SampleData::AliceToken), QByteArray("hostile"),
                                       QByteArray("alice"), QByteArray("127.0.0.1"), scratch.path().toUtf8()})
            QVERIFY2(!scrape.contains(text), text.constData());
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(HostileClientsTest)
#include "tst_hostileclients.moc"
