// The baseline server: the same architecture as ambrix-server (blocking accept loop, one thread
// per connection from the server's own thread cache, net/threadcache.h, one receive of at most
// 1023 bytes per message, one send per reply) doing no work. Every message is answered with the same 17 bytes, except
// "quit", which shuts the socket down as the server does, so that connection churn compares
// like with like. With --sink DIR an upload message ("_sendBinaryFile_?NAME&DIR&SIZE") is
// answered "Ok" and the SIZE bytes that follow are written to DIR/NAME in 64 KiB pieces: the
// raw loopback copy to the same disk that the server's upload is compared with.
//
// Usage: ambrix-noop-server -p PORT [-a ADDRESS] [--sink DIR]

#include "fdio.h"
#include "net/threadcache.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char reply[] = "Not authenticated"; // 17 bytes, as the server's refusal
std::string sinkDirectory;

// "_sendBinaryFile_?NAME&DIR&SIZE": answers "Ok", copies SIZE bytes to the sink, answers DIR.
void copyUpload(int socket, const char *message)
{
    const char *parameters = std::strchr(message, '?');
    std::string name, directory, size;
    if (parameters) {
        std::string text(parameters + 1);
        const size_t first = text.find('&');
        const size_t second = first == std::string::npos ? first : text.find('&', first + 1);
        if (second != std::string::npos) {
            name = text.substr(0, first);
            directory = text.substr(first + 1, second - first - 1);
            size = text.substr(second + 1);
        }
    }
    sendFully(socket, "Ok", 2);
    long long left = std::atoll(size.c_str());
    const bool plainName = !name.empty() && name.find('/') == std::string::npos && name != "..";
    const int file = plainName ? ::open((sinkDirectory + "/" + name).c_str(),
                                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                               : -1;
    if (file < 0) {
        sendFully(socket, "Cannot create temporary file", 28);
        return;
    }
    // On the heap: a thread-local buffer would be set up, and paid for, by every thread.
    std::vector<char> buffer(65536);
    while (left > 0) {
        const ssize_t n = ::recv(socket, buffer.data(), size_t(std::min<long long>(left, 65536)), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!writeFully(file, buffer.data(), size_t(n)))
            break;
        left -= n;
    }
    ::close(file);
    sendFully(socket, directory.data(), directory.size());
}

void serve(void *arg)
{
    const int socket = int(reinterpret_cast<intptr_t>(arg));
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, sizeof buffer - 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer[n] = '\0';
        if (std::strncmp(buffer, "quit", 4) == 0) {
            ::shutdown(socket, SHUT_RDWR);
            continue;
        }
        if (!sinkDirectory.empty() && std::strncmp(buffer, "_sendBinaryFile_", 16) == 0) {
            copyUpload(socket, buffer);
            continue;
        }
        sendFully(socket, reply, sizeof reply - 1);
    }
    ::close(socket);
}

} // namespace

int main(int argc, char **argv)
{
    const char *address = "127.0.0.1";
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "-p"))
            port = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "-a"))
            address = argv[i + 1];
        else if (!std::strcmp(argv[i], "--sink"))
            sinkDirectory = argv[i + 1];
    }
    if (port <= 0) {
        std::fprintf(stderr, "usage: %s -p PORT [-a ADDRESS] [--sink DIR]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    const int sendBuffer = 65536; // the server's listening socket option, inherited by clients
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(listener, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = inet_addr(address);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(listener, SOMAXCONN) != 0) {
        std::perror("ambrix-noop-server");
        return 1;
    }
    ThreadCache threads("connection", 128, 5); // the server's figures
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE)
                ::usleep(50 * 1000);
            continue;
        }
        const char *error = nullptr;
        if (!threads.run(serve, reinterpret_cast<void *>(intptr_t(client)), &error))
            ::close(client);
    }
}
