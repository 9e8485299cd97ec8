#include "benchsocket.h"

#include "fdio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

BenchSocket::~BenchSocket()
{
    close();
}

void BenchSocket::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool BenchSocket::connectTo(const std::string &host, int port, int timeoutSeconds, std::string *error)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    timeval timeout{timeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    // Small requests go out at once; the server under test sends its replies the same way.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        *error = "not an IPv4 address: " + host;
        close();
        return false;
    }
    while (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (errno == EINTR)
            continue;
        *error = std::string("connect: ") + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

bool BenchSocket::sendAll(const char *data, size_t size)
{
    return sendFully(fd, data, size);
}

bool BenchSocket::receiveOnce(std::string *reply)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        reply->assign(buffer, size_t(n));
        return true;
    }
}

bool BenchSocket::receiveExactly(size_t size, std::string *reply)
{
    reply->resize(size);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, &(*reply)[got], size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

bool BenchSocket::waitForClose()
{
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

std::string loginMessage(const std::string &user, const std::string &token)
{
    return "login?" + user + "&&" + token;
}
