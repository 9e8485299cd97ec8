#include "fakepeer.h"
#include "testutil.h"

#include <QMutexLocker>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

FakePeer::FakePeer(const char *address, quint16 port)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        socklen_t length = sizeof addr;
        ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &length);
        listenPort = ntohs(addr.sin_port);
        ::listen(listenFd, 64);
    }
    if (::pipe2(wakePipe, O_CLOEXEC) != 0)
        wakePipe[0] = wakePipe[1] = -1;
    thread = std::thread([this] { serve(); });
}

FakePeer::~FakePeer()
{
    const char stop = 'x';
    const ssize_t ignored = ::write(wakePipe[1], &stop, 1);
    (void)ignored;
    thread.join();
    ::close(listenFd);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
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
    return open;
}

bool FakePeer::waitForMessages(int count, int msecs) const
{
    return waitUntil([&] { return messages().size() >= count; }, msecs);
}

QByteArray FakePeer::replyTo(const QByteArray &message) const
{
    QMutexLocker locker(&lock);
    for (const auto &rule : rules) {
        if (message.contains(rule.first))
            return rule.second;
    }
    return QByteArrayLiteral("Ok\n");
}

void FakePeer::serve()
{
    std::vector<int> clients;
    for (;;) {
        std::vector<pollfd> fds{{wakePipe[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
        for (int fd : clients)
            fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                clients.push_back(client);
                QMutexLocker locker(&lock);
                ++accepted;
                ++open;
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const int fd = fds[i].fd;
            char buffer[1024];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            bool finished = n <= 0;
            if (n > 0) {
                const QByteArray message(buffer, static_cast<int>(n));
                {
                    QMutexLocker locker(&lock);
                    received.append(message);
                }
                if (message.startsWith("quit")) {
                    finished = true;
                } else {
                    const QByteArray reply = replyTo(message);
                    ::send(fd, reply.constData(), reply.size(), MSG_NOSIGNAL);
                }
            }
            if (finished) {
                ::close(fd);
                clients.erase(std::find(clients.begin(), clients.end(), fd));
                QMutexLocker locker(&lock);
                --open;
            }
        }
    }
    for (int fd : clients)
        ::close(fd);
}
