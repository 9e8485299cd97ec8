// Control clients registering their connection for a user, and messages relayed to them, over
// real connections to the real server; and a relay on a socket whose reader stopped, driven
// directly.
#include "net/connectionsocket.h"
#include "testserver.h"

#include <QtTest>

#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Logins accept any user name with the server's own token, so each test uses names of its own.
const QByteArray serverToken = "ctl-test-token-7Qx";

QByteArray registration(const QByteArray &parameters)
{
    return "_serverCommand_set_remote_server?" + parameters;
}

QByteArray noSocketError(const QByteArray &user)
{
    return "Error: No defined socket for user '" + user + "'. Users with socket: '";
}

// One relay: the control client gets message as sent, and its answer reaches the sender trimmed.
bool relayed(TestClient &sender, TestClient &control, const QByteArray &message, const QByteArray &answer)
{
    return sender.send(message) && control.receive() == message && control.send(" " + answer + "\r\n")
        && sender.receive() == answer;
}

} // namespace

class ServerControlTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestClient> loggedIn(const QByteArray &user) { return server.login(user, serverToken); }
    std::unique_ptr<TestClient> controlClient(const QByteArray &user)
    {
        auto client = std::make_unique<TestClient>(server.port());
        return client->request(registration("127.0.0.1&" + user)) == "Ok" ? std::move(client) : nullptr;
    }
    // Asked through a user that never registers: the error lists every registered name.
    bool hasRegistration(const QByteArray &user)
    {
        auto probe = loggedIn("ctl-probe");
        const QByteArray reply = probe ? probe->request("_serverCommand_probe") : QByteArray();
        const int list = reply.indexOf("Users with socket: '");
        return list >= 0 && reply.mid(list + 20).chopped(1).split(',').contains(user);
    }

    TestServer server;

private slots:
    void initTestCase()
    {
        server.setSetting("Server/ServerToken", QString::fromLatin1(serverToken));
        QVERIFY(server.start());
    }

    // Refused registrations: the reply, no registration, and an error entry in the log.
    void registrationRefused_data() { addRowsFrom("servercontrol.rows"); }

    void registrationRefused()
    {
        const QByteArray user = field("user").toUtf8(), reply = field("reply").toUtf8(), logged = field("logged").toUtf8();
        QCOMPARE(TestClient(server.port()).request(registration(field("parameters").toUtf8())), reply);
        QVERIFY(user.isEmpty() || !hasRegistration(user));
        QVERIFY(server.logContents().contains(" - Error: " + (logged.isEmpty() ? reply : logged) + "\r\n"));
        QVERIFY(!server.logContents().contains("\n01 Jan"));
    }

    void relayToControlClientThenClose()
    {
        // Whitespace around the name is not part of it.
        TestClient control(server.port());
        QCOMPARE(control.request(registration("127.0.0.1&  ctl-relay \n")), QByteArray("Ok"));
        QVERIFY(server.logContents().contains(" - Info: Ok\r\n"));
        auto sender = loggedIn("ctl-relay");
        QVERIFY(sender && relayed(*sender, control, "_serverCommand_open?doc.txt&1", "opened doc.txt"));
        // The registered connection is still served as an ordinary client.
        QCOMPARE(control.request("get_valid_applications"), QByteArray("Not authenticated"));
        QVERIFY(relayed(*sender, control, "_serverCommand_again", "ok again"));

        QCOMPARE(sender->request("_serverCommand_close\n"), QByteArray("True"));
        QVERIFY(sender->request("_serverCommand_open?x").startsWith(noSocketError("ctl-relay")));
        QVERIFY(sender->request("_serverCommand_close").startsWith(noSocketError("ctl-relay")));
        QVERIFY(control.staysSilent(100));
    }

    void relaysFromTwoConnectionsNeverMix()
    {
        auto control = controlClient("ctl-two");
        auto first = loggedIn("ctl-two");
        auto second = loggedIn("ctl-two");
        QVERIFY(control && first && second);
        QVERIFY(first->send("_serverCommand_ask?first") && second->send("_serverCommand_ask?second"));
        // The second relay waits until the first has its answer, so messages arrive one at a time.
        for (int i = 0; i < 2; ++i) {
            const QByteArray message = control->receive();
            QVERIFY2(message == "_serverCommand_ask?first" || message == "_serverCommand_ask?second", message.constData());
            QVERIFY(control->send("answer to " + message.mid(message.indexOf('?') + 1)));
        }
        QCOMPARE(first->receive(), QByteArray("answer to first"));
        QCOMPARE(second->receive(), QByteArray("answer to second"));
    }

    void secondRegistrationTakesOver()
    {
        auto firstControl = controlClient("ctl-take");
        auto secondControl = controlClient("ctl-take");
        auto sender = loggedIn("ctl-take");
        QVERIFY(firstControl && secondControl && sender);
        QVERIFY(relayed(*sender, *secondControl, "_serverCommand_where", "second"));
        QVERIFY(firstControl->staysSilent(100));
        // The replaced connection ending must not take the newer registration with it.
        firstControl->close();
        QVERIFY(relayed(*sender, *secondControl, "_serverCommand_still", "still second"));
    }

    void endedControlConnectionIsDropped_data() { addRowsFrom("servercontrol.rows"); }

    void endedControlConnectionIsDropped()
    {
        const QByteArray user = field("user").toUtf8();
        auto control = controlClient(user);
        auto sender = loggedIn(user);
        QVERIFY(control && sender);
        if (!field("duringRelay").isEmpty()) {
            QVERIFY(sender->send("_serverCommand_open?x"));
            QCOMPARE(control->receive(), QByteArray("_serverCommand_open?x"));
        }
        control->close();
        // A connection opened now may get the closed one's descriptor number on the server.
        TestClient newcomer(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!hasRegistration(user), 5000);
        // A relay under way ends with an empty answer (nothing on the wire), so the sender's next
        // message is answered at once instead of after the relay's long wait.
        QVERIFY(sender->request("_serverCommand_open?y", 5000).startsWith(noSocketError(user)));
        QVERIFY(newcomer.staysSilent(100));
        QCOMPARE(newcomer.request("get_valid_applications"), QByteArray("Not authenticated"));
    }

    // Both wait out the same 30 s limit at once.
    void unresponsiveControlClientsReleaseTheSender()
    {
        // One reads the relayed message but never answers: the relay gives up with an empty answer
        // (nothing on the wire), and the message sent meanwhile is then read and answered normally.
        auto silent = controlClient("ctl-silent");
        auto silentSender = loggedIn("ctl-silent");
        QVERIFY(silent && silentSender && silentSender->send("_serverCommand_hello"));
        QCOMPARE(silent->receive(), QByteArray("_serverCommand_hello"));
        QVERIFY(silentSender->send("_serverCommand_close"));

        // The other stops reading: the replies to its requests (errors naming them) fill every buffer
        // on the way, until the server no longer takes its requests.
        TestClient stuck(server.port(), "127.0.0.1", nullptr, 4096);
        QCOMPARE(stuck.request(registration("127.0.0.1&ctl-stuck")), QByteArray("Ok"));
        QCOMPARE(stuck.request("login?ctl-stuck&&" + serverToken), QByteArray("Authentication ok.\n"));
        const QByteArray unknown(1000, 'x');
        pollfd writable{stuck.socket(), POLLOUT, 0};
        while (::poll(&writable, 1, 3000) > 0)
            ::send(stuck.socket(), unknown.constData(), size_t(unknown.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        auto stuckSender = loggedIn("ctl-stuck");
        QVERIFY(stuckSender && stuckSender->send("_serverCommand_hello"));
        // The stuck client is dropped (seen without reading, which would set it going again: the
        // reset arrives ahead of the unread replies), and the relay waiting for its stream returns.
        pollfd reset{stuck.socket(), POLLRDHUP, 0};
        QVERIFY(::poll(&reset, 1, 45000) == 1 && (reset.revents & (POLLHUP | POLLERR)));
        QVERIFY(stuckSender->request("_serverCommand_close", 10000).startsWith(noSocketError("ctl-stuck")));
        QCOMPARE(silentSender->receive(45000), QByteArray("True"));
    }

    // A relay whose message the control client does not take returns within its limit, and the
    // connection, whose stream may hold half a message, is given up.
    void relaySendIsBounded()
    {
        int pair[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
        const auto closePeer = qScopeGuard([&pair] { ::close(pair[1]); });
        ConnectionSocket socket(pair[0]);
        socket.startSharing();
        QCOMPARE(socket.relay(QByteArray(1 << 22, 'x'), 300), QByteArray());
        QVERIFY(socket.isDropped());
    }

    // A sender relays without pause while its user's control client registers: the registration's
    // "Ok" must reach the control client before the first relayed message, every time.
    void registrationIsAnsweredBeforeAnyRelay()
    {
        for (int round = 0; round < 40; ++round) {
            const QByteArray user = "ctl-order-" + QByteArray::number(round);
            auto sender = loggedIn(user);
            QVERIFY(sender);
            std::atomic<bool> relayed{false};
            std::thread relaying([&] {
                for (int i = 0; i < 20000 && !relayed; ++i)
                    relayed = sender->send("_serverCommand_ping") && !sender->receive().startsWith("Error: No defined socket");
            });
            TestClient control(server.port());
            QVERIFY(control.send(registration("127.0.0.1&" + user)));
            const QByteArray first = control.receiveExactly(2);
            // The relay, if already sent, is answered so that the sender ends.
            const QByteArray rest = control.receive(1000);
            control.send("pong");
            relaying.join();
            QVERIFY2(first == "Ok", (first + rest).constData());
            QVERIFY(relayed);
        }
    }
};

QTEST_GUILESS_MAIN(ServerControlTest)
#include "tst_servercontrol.moc"
