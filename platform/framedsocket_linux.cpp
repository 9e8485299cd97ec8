#include "platform/framedsocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Room for a few descriptors: a peer that sends more than one gets the extra ones closed, not
// leaked into this process unseen.
constexpr int maxDescriptors = 4;

void keepFirst(msghdr &message, int *kept)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (*kept < 0)
                *kept = fd;
            else
                ::close(fd);
        }
    }
}

bool receiveBytes(int socket, char *buffer, size_t size, int *descriptor)
{
    size_t done = 0;
    while (done < size) {
        iovec io{buffer + done, size - done};
        alignas(cmsghdr) char control[CMSG_SPACE(maxDescriptors * sizeof(int))];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        keepFirst(message, descriptor);
        done += size_t(n);
    }
    return true;
}

} // namespace

namespace FramedSocket {

bool send(int socket, const Wire::Fields &fields, int passedDescriptor)
{
    const std::string frame = Wire::encode(fields);
    size_t done = 0;
    bool descriptorSent = passedDescriptor < 0;
    while (done < frame.size()) {
        iovec io{const_cast<char *>(frame.data() + done), frame.size() - done};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (!descriptorSent) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr *c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passedDescriptor, sizeof(int));
        }
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        descriptorSent = true;
        done += size_t(n);
    }
    return true;
}

bool receive(int socket, Wire::Fields *fields, int *receivedDescriptor)
{
    *receivedDescriptor = -1;
    char prefix[4];
    std::string payload;
    bool ok = receiveBytes(socket, prefix, sizeof prefix, receivedDescriptor);
    const std::uint32_t size = ok ? Wire::readLength(prefix) : 0;
    ok = ok && size <= Wire::maxFrameSize;
    if (ok) {
        payload.resize(size);
        ok = receiveBytes(socket, payload.data(), size, receivedDescriptor) && Wire::decode(payload, fields);
    }
    if (!ok && *receivedDescriptor >= 0) {
        ::close(*receivedDescriptor);
        *receivedDescriptor = -1;
    }
    return ok;
}

} // namespace FramedSocket
