#pragma once

#include <QByteArray>
#include <QString>

// A blocking TCP client of the protocol: one message per write, one reply per read.
class TestClient
{
public:
    // sourceHost: the local address to connect from (any 127.x.y.z works on loopback), so the
    // server sees a client address of the test's choosing. receiveBuffer: a fixed receive buffer
    // size, so that a client that stops reading soon holds up the server's sends.
    explicit TestClient(quint16 port, const char *host = "127.0.0.1", const char *sourceHost = nullptr,
                        int receiveBuffer = 0);
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    bool isConnected() const { return fd >= 0; }
    int socket() const { return fd; }

    bool send(const QByteArray &bytes);
    // Waits up to msecs for the first bytes, then takes what follows without a pause.
    QByteArray receive(int msecs = 5000);
    // Reads exactly n bytes, or fewer when the connection ends or msecs pass.
    QByteArray receiveExactly(int n, int msecs = 10000);
    QByteArray request(const QByteArray &message, int msecs = 5000);
    // A text reply, complete once it ends with a line end: no pause after it.
    QByteArray requestLine(const QByteArray &message, int msecs = 5000);
    // True when the server closes the connection within msecs (unread data is skipped).
    bool waitForClose(int msecs = 5000);
    // True when nothing arrives within msecs.
    bool staysSilent(int msecs);
    void close();

private:
    int fd = -1;
};
