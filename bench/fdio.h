#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Whole transfers on a descriptor: a partial or interrupted call is not a failure, so loop
// until every byte is out or the descriptor fails.
template <class Transfer>
bool transferFully(const char *data, size_t size, Transfer transfer)
{
    while (size > 0) {
        const ssize_t n = transfer(data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

inline bool sendFully(int fd, const char *data, size_t size)
{
    // MSG_NOSIGNAL: a peer that has gone away ends the transfer, not the process.
    return transferFully(data, size, [fd](const char *d, size_t n) { return ::send(fd, d, n, MSG_NOSIGNAL); });
}

inline bool writeFully(int fd, const char *data, size_t size)
{
    return transferFully(data, size, [fd](const char *d, size_t n) { return ::write(fd, d, n); });
}
