#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>

#include <thread>
#include <vector>

// Another server of the platform, faked: listens on 127.0.0.1 (or another loopback address, so
// that it is not taken for this machine), records every message it receives (one receive is one
// message), and answers each with the reply of the first rule whose fragment the message contains,
// "Ok\n" when none does. "quit" gets no reply and ends that connection. An empty reply sends nothing.
class FakePeer
{
public:
    // A port of 0 picks a free one; port() is 0 when the address and port cannot be had.
    explicit FakePeer(const char *address = "127.0.0.1", quint16 port = 0);
    ~FakePeer();
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    quint16 port() const { return listenPort; }
    void answer(const QByteArray &fragment, const QByteArray &reply); // rules apply in this order
    void clear();                                                     // forgets rules, messages and counts
    QList<QByteArray> messages() const;
    int connectionsAccepted() const;
    int connectionsOpen() const;
    bool waitForMessages(int count, int msecs = 5000) const;

private:
    void serve(int fd);

    int listenFd = -1;
    quint16 listenPort = 0;
    std::thread acceptor;
    mutable QMutex lock;
    std::vector<std::thread> connections;
    std::vector<int> openFds;
    QList<QPair<QByteArray, QByteArray>> rules;
    QList<QByteArray> received;
    int accepted = 0;
};
