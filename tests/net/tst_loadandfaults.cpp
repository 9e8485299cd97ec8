// Load and faults against the real server, bounded in count and time: a thousand logged-in
// clients at once, slow clients beside fast ones, a client gone in the middle of an upload, the
// server's descriptors exhausted and given back, and memory over many requests and connections
// (AMBRIX_SOAK_REQUESTS and AMBRIX_SOAK_CYCLES raise the counts, e.g. to 1000000 and 100000).
#include "platform/programs.h"
#include "privateaccounts.h"
#include "testutil.h"
#include "testserver.h"

#include <QtTest>

#include <sys/resource.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QByteArray serverToken = "load-test-token-5Ta";

using Clients = std::vector<std::unique_ptr<TestClient>>;

// A request whose reply is known: taken as soon as it is complete.
bool answers(TestClient &client, const QByteArray &message, const QByteArray &reply, int msecs = 10000)
{
    return client.send(message) && client.receiveExactly(reply.size(), msecs) == reply;
}

// A field of /proc/PID/status, in its own unit (kB for memory).
qint64 processStatus(qint64 pid, const QByteArray &field)
{
    for (const QByteArray &line : readFile(QString("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int scaled(const char *variable, int ciCount)
{
#ifdef AMBRIX_SANITIZE
    ciCount /= 4; // only the replies are checked there
#endif
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariableIntValue(variable) : ciCount;
}

} // namespace

class LoadAndFaultsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir windir;
    // An account of the platform's, for uploads.
    const QByteArray uploader = "axload" + QByteArray::number(QCoreApplication::applicationPid());
    TestServer server;
    qint64 idleThreads = 0;

    std::unique_ptr<TestClient> loggedIn(const QByteArray &user, const QByteArray &password = serverToken)
    {
        auto client = std::make_unique<TestClient>(server.port());
        return answers(*client, "login?" + user + "&&" + password, "Authentication ok.\n") ? std::move(client) : nullptr;
    }
    int serverThreads() const { return int(processStatus(server.pid(), "Threads")); }
    int connectionThreads() const
    {
        const QDir tasks(QString("/proc/%1/task").arg(server.pid()));
        int count = 0;
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            count += readFile(tasks.filePath(task + "/comm")) == "connection\n";
        return count;
    }

private slots:
    void initTestCase()
    {
        // A thousand clients and their server: descriptors for both sides, inherited by the server.
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        limit.rlim_cur = limit.rlim_max;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= 4096);
        QVERIFY(Programs::run(Programs::UseraddProgram, {"-M", "-U", "--", uploader}, 30000).succeeded());
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        server.setEnv("windir", windir.path());
        QVERIFY(server.start());
        // The first connection may start threads of a runtime for good: they count as idle. An
        // ended connection's thread waits 5 s in the cache for the next one, then ends.
        QVERIFY(loggedIn("first"));
        QVERIFY(waitUntil([&] { return connectionThreads() == 0; }, 15000));
        idleThreads = serverThreads();
    }

    void thousandLoggedInClients()
    {
        Clients clients;
        for (int i = 0; i < 1000; ++i) {
            clients.push_back(loggedIn("load" + QByteArray::number(i)));
            QVERIFY2(clients.back(), qPrintable(QString("client %1").arg(i)));
            QVERIFY(answers(*clients.back(), "set_remote_app_server?" + QByteArray::number(i) + "&h", "\n"));
        }
        QCOMPARE(serverThreads(), idleThreads + 1000);
        // Every client asks at once; each gets its own user's answer.
        for (auto &client : clients)
            QVERIFY(client->send("get_remote_app_server_port"));
        int correct = 0;
        for (size_t i = 0; i < clients.size(); ++i)
            correct += clients[i]->receiveExactly(int(QByteArray::number(qint64(i)).size()) + 1, 15000)
                       == QByteArray::number(qint64(i)) + "\n";
        QCOMPARE(correct, 1000);
        clients.clear();
        QVERIFY(waitUntil([&] { return serverThreads() == idleThreads; }, 30000));
    }

    // Clients that write a byte now and then and never read, some of them in the middle of an
    // upload, hold a thread each and nothing else.
    void slowClientsDoNotHoldOthersUp()
    {
        Clients slow;
        for (int i = 0; i < 500; ++i) {
            slow.push_back(i % 2 ? loggedIn("root") : std::make_unique<TestClient>(server.port()));
            QVERIFY(slow.back() && slow.back()->isConnected());
            if (i % 2)
                QVERIFY(answers(*slow.back(), "_sendBinaryFile_?slow" + QByteArray::number(i) + "&&1000000", "Ok"));
        }
        const std::unique_ptr<TestClient> fast = loggedIn("fast");
        QVERIFY(fast);
        for (int round = 0; round < 20; ++round) {
            for (auto &client : slow)
                QVERIFY(client->send("g"));
            for (int i = 0; i < 10; ++i)
                QVERIFY(answers(*fast, "get_remote_app_server_address", "\n"));
        }
        slow.clear();
        QVERIFY(waitUntil([&] { return serverThreads() == idleThreads + 1; }, 30000));
    }

    void clientGoneDuringUpload()
    {
        const QByteArray sent = QByteArray(30000, 'u') + "end";
        {
            const std::unique_ptr<TestClient> client = loggedIn(uploader);
            QVERIFY(client);
            QVERIFY(answers(*client, "_sendBinaryFile_?gone.bin&&100000", "Ok"));
            QVERIFY(client->send(sent));
        }
        const QString file = windir.path() + "/TEMP/ambrix-" + uploader + "/gone.bin";
        QVERIFY(waitUntil([&] { return serverThreads() == idleThreads; }, 10000));
        QCOMPARE(readFile(file), sent);
    }

    // With no descriptor left the server takes no connection and opens no database connection;
    // once they are back it serves again, without a restart.
    void descriptorsExhaustedAndRestored()
    {
        // A server of its own, started with few descriptors: it cannot be given more or fewer
        // later, running as an account of its own.
        TestServer small;
        rlimit original{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &original) == 0);
        const rlimit low{48, original.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        const bool started = small.start();
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &original) == 0);
        QVERIFY(started);
        const qint64 idle = processStatus(small.pid(), "Threads");
        Clients clients;
        int answered = 0;
        for (int i = 0; i < 80; ++i) {
            clients.push_back(std::make_unique<TestClient>(small.port()));
            answered += clients.back()->request("get_valid_applications", 100) == "Not authenticated";
        }
        QVERIFY2(answered < 80, "the descriptor limit was never reached");
        clients.clear();
        QVERIFY(waitUntil([&] { return processStatus(small.pid(), "Threads") <= idle; }, 30000));
        std::unique_ptr<TestClient> after;
        QVERIFY(waitUntil([&] { return (after = small.login("alice", SampleData::AliceToken)) != nullptr; }, 10000));
        const QByteArray name = after->requestLine("get_application_name?1");
        QVERIFY(name.size() > 1);
        QCOMPARE(after->requestLine("get_application_display_name?1"), name);
        qInfo("descriptors exhausted: %d of 80 clients answered; served again after", answered);
    }

    // Memory levels off: after a warm-up no growth beyond a small margin, over cached requests and
    // connection cycles alike.
    void memoryStaysFlat()
    {
        const int requests = scaled("AMBRIX_SOAK_REQUESTS", 200000);
        const int cycles = scaled("AMBRIX_SOAK_CYCLES", 10000);
        const std::unique_ptr<TestClient> client = loggedIn("alice", SampleData::AliceToken);
        QVERIFY(client);
        const QByteArray expected = client->requestLine("get_application_name?1");
        QVERIFY(expected.size() > 1);
        QList<qint64> samples;
        for (int i = 1; i <= requests; ++i) {
            if (!answers(*client, "get_application_name?1", expected))
                QFAIL(qPrintable(QString("request %1 answered wrong").arg(i)));
            if (i % (requests / 10) == 0)
                samples << processStatus(server.pid(), "VmRSS");
        }
        for (int i = 1; i <= cycles; ++i) {
            TestClient cycle(server.port());
            if (!answers(cycle, "login?cycle&&" + serverToken, "Authentication ok.\n") || !cycle.send("quit"))
                QFAIL(qPrintable(QString("cycle %1 failed").arg(i)));
            if (i % (cycles / 10) == 0)
                samples << processStatus(server.pid(), "VmRSS");
        }
        QStringList shown;
        for (qint64 sample : qAsConst(samples))
            shown << QString::number(sample);
        qInfo("RSS (KiB) over %d requests, then %d connection cycles: %s", requests, cycles, qPrintable(shown.join(' ')));
#ifndef AMBRIX_SANITIZE
        // The plateau: what the first fifth of each half reached, and a margin for the allocator.
        const qint64 plateau = qMax(samples.at(1), samples.at(11));
        for (int i = 2; i < samples.size(); ++i)
            QVERIFY2(samples.at(i) <= plateau + qMax<qint64>(4096, plateau / 10), qPrintable(QString::number(samples.at(i))));
#endif
    }
};

AMBRIX_TEST_MAIN_WITH_PRIVATE_ACCOUNTS(LoadAndFaultsTest)
#include "tst_loadandfaults.moc"
