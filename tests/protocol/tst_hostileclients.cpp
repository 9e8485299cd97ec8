// Hostile clients against the real server, logged in without privilege under strict privilege,
// in private copies of the host's account files and PXE root, with uploads, user folders and
// media kept in scratch directories:
// - tens of thousands of random and mutated messages of every kind, before and after a login,
//   from several clients at once, each batch followed by a probe that must be answered right
//   (seeded: the seed is printed, and AMBRIX_FUZZ_SEED replays a run);
// - every command of the table with parameters holding hostile values: every request is answered
//   and no table changes but those the command is meant to write.
#include "dispatch/commandtable.h"
#include "privateaccounts.h"
#include "testdatabase.h"
#include "testserver.h"

#include <QtEndian>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>

#include <random>
#include <thread>

namespace {

const QByteArray serverToken = "hostile-test-token-9Rq";

// Bytes the server sees as one message or as the start of one, and values that break naive
// string handling.
const QList<QByteArray> fragments = {"?", "&", "&&", "\0", "\xff\xfe", "\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                     "'", "\\", "%", "_", "../", "\r\n", " ", "\xe2\x82\xac", "quit"};
const QList<QByteArray> badSizes = {"-1", "0", "abc", "", "2147483648", "99999999999999999999", "1e9", "3&4"};

// One message from rng: random bytes, a valid message mutated, or one of the special kinds.
QByteArray fuzzedMessage(std::mt19937_64 &rng, const QList<QByteArray> &valid)
{
    const auto pick = [&rng](int n) { return int(rng() % quint64(n)); };
    QByteArray message;
    switch (pick(6)) {
    case 0:
        for (int n = pick(1100); n > 0; --n)
            message += char(rng());
        return message;
    case 1:
        return "_sendBinaryFile_?f" + QByteArray::number(pick(9)) + ".bin&d&" + badSizes.at(pick(badSizes.size()));
    case 2:
        // 1023 bytes fill a receive; 1024 and more are cut into two messages.
        return valid.at(pick(valid.size())).leftJustified(1022 + pick(4), char(rng() | 1), true);
    default:
        message = valid.at(pick(valid.size()));
        for (int n = 1 + pick(4); n > 0; --n) {
            const int at = pick(message.size() + 1);
            switch (pick(4)) {
            case 0: message.insert(at, fragments.at(pick(fragments.size()))); break;
            case 1: message.remove(at, pick(8)); break;
            case 2: message.insert(at, message.mid(pick(message.size() + 1), pick(40))); break;
            default: message.insert(at, char(rng()));
            }
        }
        return message;
    }
}

class Fuzzer
{
public:
    Fuzzer(quint16 port, const QByteArray &user) : port(port), user(user) {}

    // count messages on connections of their own; a connection is replaced once it ends or
    // stops answering (it may be in the middle of an upload that takes the messages as content).
    void run(std::mt19937_64 &rng, const QList<QByteArray> &valid, int count)
    {
        int unanswered = 0;
        for (int i = 0; i < count; ++i) {
            if (!client || !client->isConnected() || unanswered >= 3) {
                connect();
                unanswered = 0;
            }
            QByteArray message = fuzzedMessage(rng, valid);
            // Sometimes in two writes, which the server may receive as one message or two.
            const int cut = rng() % 4 == 0 ? int(rng() % quint64(message.size() + 1)) : message.size();
            const bool sent = client->send(message.left(cut)) && client->send(message.mid(cut));
            const QByteArray reply = sent ? takeReply() : QByteArray();
            unanswered = reply.isEmpty() ? unanswered + 1 : 0;
            if (!sent)
                client.reset();
        }
    }

private:
    void connect()
    {
        client = std::make_unique<TestClient>(port);
        if (!user.isEmpty())
            client->requestLine("login?" + user + "&&" + serverToken);
    }

    // What arrives within a moment, without waiting for more after it.
    QByteArray takeReply()
    {
        pollfd readable{client->socket(), POLLIN, 0};
        QByteArray reply;
        char buffer[4096];
        for (int wait = 200; ::poll(&readable, 1, wait) > 0; wait = 0) {
            const ssize_t n = ::recv(client->socket(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                client->close();
                break;
            }
            reply.append(buffer, int(n));
        }
        return reply;
    }

    quint16 port;
    QByteArray user;
    std::unique_ptr<TestClient> client;
};

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
        QVERIFY(server.start());
        probeReply = probe();
        QVERIFY(probeReply.endsWith('\n'));
    }

    void randomAndMutatedMessages()
    {
        const quint64 seed = qEnvironmentVariableIsSet("AMBRIX_FUZZ_SEED")
                                 ? qEnvironmentVariable("AMBRIX_FUZZ_SEED").toULongLong()
                                 : std::random_device()();
        qInfo("AMBRIX_FUZZ_SEED=%llu", seed);
        QList<QByteArray> valid = {"_serverCommand_set_remote_server?127.0.0.1&hostile", "_serverCommand_open?x&1",
                                   "_serverCommand_close", "login?hostile&&" + serverToken, "validate?a&&b"};
        for (const CommandRow *row : CommandTable::allRows())
            valid << QByteArray(row->name) + "?1&x&2";
        for (const ByteArrayRow *row : CommandTable::allByteArrayRows())
            valid << QByteArray(row->name) + "?1";

        constexpr int threads = 8, batches = 10, perBatch = 250;
        int sent = 0;
        for (const QByteArray &user : {QByteArray(), QByteArray("hostile")}) {
            for (int batch = 0; batch < batches; ++batch) {
                std::vector<std::thread> running;
                for (int t = 0; t < threads; ++t) {
                    running.emplace_back([&, t] {
                        std::mt19937_64 rng(seed ^ (quint64(batch * threads + t) << 32) ^ quint64(user.size()));
                        Fuzzer(server.port(), user.isEmpty() ? user : user + QByteArray::number(t))
                            .run(rng, valid, perBatch);
                    });
                }
                for (std::thread &thread : running)
                    thread.join();
                sent += threads * perBatch;
                QVERIFY2(server.isRunning() && probe() == probeReply,
                         qPrintable(QString("seed %1, after %2 messages").arg(seed).arg(sent)));
            }
        }
        qInfo("%d messages, %d batches, every probe answered", sent, 2 * batches);
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
        // The only writes a command is meant to make to the catalogue with these values.
        const QSet<QString> logging{"start_session", "end_session", "start_application", "end_application"};
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
            const QMap<QString, QString> after = checksums();
            for (auto it = after.cbegin(); it != after.cend(); ++it) {
                if (!(logging.contains(name) && it.key() == QLatin1String("ambrix.ax_log")))
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
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(HostileClientsTest)
#include "tst_hostileclients.moc"
