#include "net/servingprobe.h"

#include "base/socketio.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool connectWithin(int fd, const sockaddr_in &addr, const QDeadlineTimer &deadline)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS || !SocketIo::waitFor(fd, POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

} // namespace

namespace ServingProbe {

bool isAnswered(const QByteArray &address, int port, bool tls, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    if (::inet_pton(AF_INET, address.constData(), &addr.sin_addr) != 1 || addr.sin_addr.s_addr == htonl(INADDR_ANY))
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // A connection completes in the kernel's backlog even while nobody accepts: only an answer
    // from the server counts.
    bool answered = connectWithin(fd, addr, deadline) && SocketIo::sendWithin(fd, QByteArray(Request), deadline)
                    && SocketIo::waitFor(fd, POLLIN, deadline);
    if (answered && !tls)
        answered = !SocketIo::boundedReceive(fd, 1024).isEmpty();
    ::close(fd);
    return answered;
}

} // namespace ServingProbe
