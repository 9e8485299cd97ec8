// Outbound connections against a fake peer on loopback: message forms, replies, failures,
// released sockets, and the shared connection under several threads.
#include "net/peerconnection.h"
#include "fakepeer.h"
#include "testserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const QString loopback = QStringLiteral("127.0.0.1");

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

class PeerConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void requestTrimsTheReply();
    void requestWithParams_data();
    void requestWithParams();
    void login_data();
    void login();
    void nothingListening();
    void unansweredConnectGivesUp();
    void hostTextIsBounded();
    void failedAttemptsReleaseTheirSockets();
    void reconnectReleasesThePreviousSocket();
    void sharedConnectionUnderConcurrentUse();
};

void PeerConnectionTest::requestTrimsTheReply()
{
    FakePeer peer;
    peer.answer("ping", " Ok\n");
    PeerConnection connection;
    QVERIFY(connection.connect(loopback, peer.port()));
    QCOMPARE(connection.request(QStringLiteral("ping")), QStringLiteral("Ok"));
    connection.close();
    QVERIFY(peer.waitForMessages(2));
    QCOMPARE(peer.messages(), QList<QByteArray>({"ping", "quit\n"}));
    // Closed: nothing more goes out.
    QCOMPARE(connection.request(QStringLiteral("again")), QString());
    QVERIFY(peer.waitForConnectionsOpen(0));
    QCOMPARE(peer.messages().size(), 2);
}

void PeerConnectionTest::requestWithParams_data()
{
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("no parameters") << QStringList() << QByteArray("get_x");
    QTest::newRow("first empty") << QStringList{"", "b"} << QByteArray("get_x");
    QTest::newRow("one") << QStringList{"a"} << QByteArray("get_x?a");
    QTest::newRow("later empty kept") << QStringList{"a", "", "c"} << QByteArray("get_x?a&&c");
}

void PeerConnectionTest::requestWithParams()
{
    QFETCH(QStringList, params);
    QFETCH(QByteArray, sent);
    FakePeer peer;
    PeerConnection connection;
    QVERIFY(connection.connect(loopback, peer.port()));
    QCOMPARE(connection.requestWithParams(QStringLiteral("get_x"), params), QStringLiteral("Ok"));
    QCOMPARE(peer.messages(), QList<QByteArray>{sent});
}

void PeerConnectionTest::login_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("ok") << QByteArray("Authentication ok.\n") << true;
    QTest::newRow("refused") << QByteArray("Error: Bad authentication\n") << false;
    QTest::newRow("not in group") << QByteArray("Error: Not in admin group\n") << false;
    QTest::newRow("blank reply") << QByteArray(" \n") << false;
}

void PeerConnectionTest::login()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    FakePeer peer;
    peer.answer("validate?", reply);
    PeerConnection connection;
    QVERIFY(connection.connect(loopback, peer.port()));
    QCOMPARE(connection.login(QStringLiteral("alice"), QStringLiteral("p&ss"), QStringLiteral("validate")),
             accepted);
    QCOMPARE(peer.messages(), QList<QByteArray>{"validate?alice&&p&ss\n"});
}

void PeerConnectionTest::nothingListening()
{
    PeerConnection connection;
    QVERIFY(!connection.connect(loopback, TestServer::freePort()));
    QVERIFY(!connection.isConnected());
    QCOMPARE(connection.request(QStringLiteral("ping")), QString());
    QVERIFY(!connection.login(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("login")));
}

void PeerConnectionTest::unansweredConnectGivesUp()
{
    // A listener whose queue is full drops further handshakes: the connect must give up by itself.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length);
    QVERIFY(::listen(listener, 0) == 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    PeerConnection connection;
    const bool connected = connection.connect(loopback, ntohs(addr.sin_port));
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
    QVERIFY(!connected);
}

void PeerConnectionTest::hostTextIsBounded()
{
    PeerConnection connection;
    QVERIFY(!connection.connect(QString(1000, QLatin1Char('a')), 4445));
    QVERIFY(!connection.connect(QString::fromLatin1("127.0.0.1\0evil", 14), 4445));
    QVERIFY(!connection.connect(QString(), 4445));
    QVERIFY(!connection.isConnected());
}

void PeerConnectionTest::failedAttemptsReleaseTheirSockets()
{
    const quint16 closedPort = TestServer::freePort();
    PeerConnection connection;
    QVERIFY(!connection.connect(loopback, closedPort)); // warm up lazily opened descriptors
    const int before = openDescriptors();
    for (int i = 0; i < 50; ++i)
        QVERIFY(!connection.connect(loopback, closedPort));
    QCOMPARE(openDescriptors(), before);
}

void PeerConnectionTest::reconnectReleasesThePreviousSocket()
{
    FakePeer peer;
    PeerConnection connection;
    for (int i = 0; i < 5; ++i)
        QVERIFY(connection.connect(loopback, peer.port()));
    QVERIFY(peer.waitForConnectionsAccepted(5));
    QVERIFY(peer.waitForConnectionsOpen(1));
    // A failed connect drops the previous connection too: nothing may go to the old peer.
    QVERIFY(!connection.connect(loopback, TestServer::freePort()));
    QVERIFY(peer.waitForConnectionsOpen(0));
    QCOMPARE(connection.request(QStringLiteral("ping")), QString());
    QCOMPARE(peer.messages(), QList<QByteArray>());
}

void PeerConnectionTest::sharedConnectionUnderConcurrentUse()
{
    // Odd users are refused. Each thread's answer must be its own, even while another thread
    // keeps closing the shared connection.
    FakePeer peer;
    for (int user = 1; user < 8; user += 2)
        peer.answer(QStringLiteral("validate?user%1&&").arg(user).toUtf8(), "Error: Bad authentication\n");
    peer.answer("validate?", "Authentication ok.\n");

    PeerConnection &shared = PeerConnection::shared();
    QCOMPARE(&PeerConnection::shared(), &shared);
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
                if (ok != (user % 2 == 0))
                    ++wrong;
            }
        });
    }
    for (std::thread &t : users)
        t.join();
    stop = true;
    closer.join();
    shared.close();
    QCOMPARE(wrong.load(), 0);
    QVERIFY(peer.waitForConnectionsAccepted(8 * 25));
    QVERIFY(peer.waitForConnectionsOpen(0));
    QCOMPARE(peer.connectionsAccepted(), 8 * 25);
}

QTEST_GUILESS_MAIN(PeerConnectionTest)
#include "tst_peerconnection.moc"
