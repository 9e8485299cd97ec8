// Connections over real TCP: served ones (framing, message kinds, what a client gets before
// login), and outbound ones against a fake peer on loopback (message forms, replies, failures,
// released sockets, the shared connection under several threads).
#include "base/peerconnection.h"
#include "fakepeer.h"
#include "testserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

const QString loopback = QStringLiteral("127.0.0.1");

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

class ConnectionsTest : public QObject
{
    Q_OBJECT

    TestServer server;
    TestServer idle; // PreLoginIdleTimeout=1

private slots:
    void initTestCase()
    {
        QVERIFY(server.start());
        idle.setSetting(QStringLiteral("Server/PreLoginIdleTimeout"), 1);
        idle.setSetting(QStringLiteral("Server/ServerToken"), QStringLiteral("idle-token"));
        QVERIFY(idle.start());
    }

    // Each reply exactly, with nothing after it: no line end, no length.
    void kindsBeforeLogin_data() { addRowsFrom("connections.rows"); }

    void kindsBeforeLogin()
    {
        const QString reply = field("reply");
        TestClient client(server.port());
        QVERIFY(client.send(field("message").toUtf8()));
        QCOMPARE(client.receiveExactly(reply.size()), reply.toUtf8());
        QVERIFY(client.staysSilent(100));
    }

    void framing()
    {
        TestClient client(server.port());
        // The "quit" behind the zero byte is not part of the message.
        QVERIFY(client.send(QByteArray("abc\0quit", 8)));
        QCOMPARE(client.receiveExactly(17), QByteArray("Not authenticated"));
        QCOMPARE(client.request(QByteArray(1023, 'g')), QByteArray("Not authenticated"));
        // 1500 bytes are two receives, so two messages and two replies.
        QVERIFY(client.send(QByteArray(1500, 'g')));
        QCOMPARE(client.receiveExactly(34), QByteArray("Not authenticatedNot authenticated"));
        QVERIFY(client.send("quit\n"));
        QVERIFY(client.waitForClose());
        // A server-control reply is also a log entry.
        QCOMPARE(TestClient(server.port()).request("_serverCommand_ping"), QByteArray("Not authenticated"));
        QTRY_VERIFY_WITH_TIMEOUT(server.logContents().contains(" - Info: Not authenticated\r\n"), 5000);
    }

    void manyClientsAtOnce()
    {
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < 200; ++i)
            clients.push_back(std::make_unique<TestClient>(server.port()));
        int answered = 0;
        for (auto &c : clients)
            answered += c->isConnected() && c->request("get_system_load", 15000) == "Not authenticated";
        QCOMPARE(answered, 200);
    }

    void connectionsBeyondMaxClients()
    {
        TestServer capped;
        capped.setSetting(QStringLiteral("Server/MaxClients"), 3);
        QVERIFY(capped.start());
        // Served until the cap is reached (the start-up probe may still be counted for a moment).
        std::vector<std::unique_ptr<TestClient>> served;
        QVERIFY(waitUntil([&] {
            auto c = std::make_unique<TestClient>(capped.port());
            if (c->request("get_system_load", 1000) == "Not authenticated")
                served.push_back(std::move(c));
            return served.size() == 3;
        }, 10000));
        TestClient beyond(capped.port());
        QVERIFY(beyond.waitForClose(2000));
        for (auto &c : served)
            QCOMPARE(c->request("get_system_load"), QByteArray("Not authenticated"));
        QTRY_VERIFY(capped.logContents().contains("refused: 3 clients connected"));
        served.pop_back();
        QVERIFY(waitUntil([&] { return TestClient(capped.port()).request("get_system_load", 1000) == "Not authenticated"; }, 5000));
    }

    // At most MaxClientsPerAddress connections of one address wait for a login: the next one is
    // closed at once while other addresses, the server token's among them, are served. A place is
    // free again once one of them ends, logs in or becomes a control channel.
    void perAddressBeforeLogin_data() { addRowsFrom("connections.rows"); }

    void perAddressBeforeLogin()
    {
        TestServer capped;
        capped.setSetting(QStringLiteral("Server/MaxClientsPerAddress"), 20);
        capped.setSetting(QStringLiteral("Server/MaxClients"), 100);
        capped.setSetting(QStringLiteral("Server/ServerToken"), QStringLiteral("cap-token"));
        QVERIFY(capped.start());
        std::vector<std::unique_ptr<TestClient>> silent;
        for (int i = 0; i < 20; ++i)
            silent.push_back(std::make_unique<TestClient>(capped.port(), "127.0.0.1", "127.0.0.2"));
        QVERIFY(TestClient(capped.port(), "127.0.0.1", "127.0.0.2").waitForClose(5000));
        QVERIFY(capped.login("anyone", "cap-token"));
        QTRY_VERIFY(capped.logContents().contains("Connection from 127.0.0.2 refused: 20 of its connections not logged in"));
        if (field("free").isEmpty())
            silent.pop_back();
        else
            QCOMPARE(silent.back()->request(field("free").toUtf8()), field("reply").toUtf8());
        QVERIFY(waitUntil([&] {
            return TestClient(capped.port(), "127.0.0.1", "127.0.0.2").request("get_system_load", 1000) == "Not authenticated";
        }, 5000));
    }

    // A connection not logged in is closed after PreLoginIdleTimeout seconds without a message.
    // Logged-in clients and control channels never time out: they are still there when a silent
    // connection opened after them has been closed.
    void idleBeforeLogin_data() { addRowsFrom("connections.rows"); }

    void idleBeforeLogin()
    {
        TestClient client(idle.port());
        if (!field("first").isEmpty())
            QCOMPARE(client.request(field("first").toUtf8()), field("reply").toUtf8());
        QVERIFY(TestClient(idle.port()).waitForClose(15000));
        if (field("stays").isEmpty())
            QVERIFY(client.waitForClose(15000));
        else
            QVERIFY(!client.request("get_system_load").isEmpty());
    }

    // Calls on a fresh connection to a peer, then closing it: results and what the peer received.
    void peerExchanges_data() { addRowsFrom("connections.rows"); }

    void peerExchanges()
    {
        const QString result = field("result");
        FakePeer peer;
        peer.answer("", field("reply").toUtf8());
        PeerConnection connection;
        QVERIFY(connection.connect(loopback, peer.port()));
        const QStringList words = field("call").split('|');
        if (words[0] == "request")
            QCOMPARE(connection.request(words[1]), result);
        else if (words[0] == "params")
            QCOMPARE(connection.requestWithParams(words[1], words.mid(2)), result);
        else
            QCOMPARE(connection.login("alice", "p&ss", "validate") ? "yes" : "no", result);
        connection.close();
        QCOMPARE(connection.request(QStringLiteral("again")), QString());
        QTRY_COMPARE(peer.connectionsOpen(), 0);
        QCOMPARE(peer.messages(), QList<QByteArray>({field("sent").toUtf8(), "quit\n"}));
    }

    void unusableTargets()
    {
        PeerConnection connection;
        QVERIFY(!connection.connect(loopback, TestServer::freePort()));
        QCOMPARE(connection.request(QStringLiteral("ping")), QString());
        QVERIFY(!connection.login(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("login")));
        for (const QString &host : {QString(1000, QLatin1Char('a')), QString::fromLatin1("127.0.0.1\0evil", 14), QString()})
            QVERIFY(!connection.connect(host, 4445));
        QVERIFY(!connection.isConnected());

        // A listener whose queue is full drops further handshakes: the connect must give up by itself.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listener, 0) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length);
        std::vector<int> fillers;
        for (int i = 0; i < 3; ++i) {
            fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        }
        const bool connected = connection.connect(loopback, ntohs(addr.sin_port));
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
        QVERIFY(!connected);
    }

    void socketsAreReleased()
    {
        const quint16 closedPort = TestServer::freePort();
        PeerConnection connection;
        QVERIFY(!connection.connect(loopback, closedPort)); // warm up lazily opened descriptors
        const int before = openDescriptors();
        for (int i = 0; i < 50; ++i)
            QVERIFY(!connection.connect(loopback, closedPort));
        QCOMPARE(openDescriptors(), before);

        FakePeer peer;
        for (int i = 0; i < 5; ++i)
            QVERIFY(connection.connect(loopback, peer.port()));
        QTRY_COMPARE(peer.connectionsAccepted(), 5);
        QTRY_COMPARE(peer.connectionsOpen(), 1);
        // A failed connect drops the previous connection too: nothing may go to the old peer.
        QVERIFY(!connection.connect(loopback, closedPort));
        QTRY_COMPARE(peer.connectionsOpen(), 0);
        QCOMPARE(connection.request(QStringLiteral("ping")), QString());
        QCOMPARE(peer.messages(), QList<QByteArray>());
    }

    void sharedConnectionUnderConcurrentUse()
    {
        // Odd users are refused. Each thread's answer must be its own, even while another thread
        // keeps closing the shared connection.
        FakePeer peer;
        for (int user = 1; user < 8; user += 2)
            peer.answer(QStringLiteral("validate?user%1&&").arg(user).toUtf8(), "Error: Bad authentication\n");
        peer.answer("validate?", "Authentication ok.\n");
        PeerConnection &shared = PeerConnection::shared();
        std::atomic<int> wrong{0};
        std::atomic<bool> stop{false};
        std::thread closer([&] {
            while (!stop)
                shared.close();
        });
        std::vector<std::thread> users;
        for (int user = 0; user < 8; ++user) {
            users.emplace_back([&, user] {
                for (int i = 0; i < 25; ++i) {
                    const bool ok = shared.connectAndLogin(loopback, peer.port(), QStringLiteral("user%1").arg(user),
                                                           QStringLiteral("pw"), QStringLiteral("validate"));
                    wrong += ok != (user % 2 == 0);
                }
            });
        }
        for (std::thread &t : users)
            t.join();
        stop = true;
        closer.join();
        shared.close();
        QCOMPARE(wrong.load(), 0);
        QTRY_COMPARE(peer.connectionsOpen(), 0);
        QCOMPARE(peer.connectionsAccepted(), 8 * 25);
    }
};

QTEST_GUILESS_MAIN(ConnectionsTest)
#include "tst_connections.moc"
