#include "fakepeer.h"
#include "testutil.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

FakePeer::FakePeer(const char *address, quint16 port)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    socklen_t length = sizeof addr;
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listenFd, 64) == 0
        && ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &length) == 0)
        listenPort = ntohs(addr.sin_port);
    // Shutting the listening socket down ends the accept.
    acceptor = std::thread([this] {
        for (;;) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0 && errno == EINTR)
                continue;
            if (fd < 0)
                return;
            QMutexLocker locker(&lock);
            ++accepted;
            openFds.push_back(fd);
            connections.emplace_back([this, fd] { serve(fd); });
        }
    });
}

FakePeer::~FakePeer()
{
    ::shutdown(listenFd, SHUT_RDWR);
    acceptor.join();
    {
        QMutexLocker locker(&lock);
        for (int fd : openFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &connection : connections)
        connection.join();
    ::close(listenFd);
}

void FakePeer::answer(const QByteArray &fragment, const QByteArray &reply)
{
    QMutexLocker locker(&lock);
    rules.append({fragment, reply});
}

void FakePeer::clear()
{
    QMutexLocker locker(&lock);
    rules.clear();
    received.clear();
    accepted = 0;
}

QList<QByteArray> FakePeer::messages() const
{
    QMutexLocker locker(&lock);
    return received;
}

int FakePeer::connectionsAccepted() const
{
    QMutexLocker locker(&lock);
    return accepted;
}

int FakePeer::connectionsOpen() const
{
    QMutexLocker locker(&lock);
    return int(openFds.size());
}

bool FakePeer::waitForMessages(int count, int msecs) const
{
    return waitUntil([&] { return messages().size() >= count; }, msecs);
}

void FakePeer::serve(int fd)
{
    char buffer[1024];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        const QByteArray message(buffer, int(n));
        QByteArray reply = "Ok\n";
        {
            QMutexLocker locker(&lock);
            received.append(message);
            const auto rule = std::find_if(rules.cbegin(), rules.cend(), [&](const auto &r) { return message.contains(r.first); });
            reply = rule == rules.cend() ? reply : rule->second;
        }
        if (message.startsWith("quit"))
            break;
        ::send(fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
    }
    QMutexLocker locker(&lock);
    openFds.erase(std::find(openFds.begin(), openFds.end(), fd));
    ::close(fd);
}
