#include "benchsocket.h"

#include "fdio.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

SSL_CTX *tlsContext = nullptr;
bool resumeSessions = false;
thread_local SSL_SESSION *lastSession = nullptr;
std::atomic<unsigned long long> fullHandshakes{0};
std::atomic<unsigned long long> resumedHandshakes{0};

std::string tlsError(const char *what)
{
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return std::string(what) + ": " + text;
}

} // namespace

bool BenchSocket::useTls(Tls mode, std::string *error)
{
    if (mode == Tls::Off)
        return true;
    tlsContext = SSL_CTX_new(TLS_client_method());
    if (!tlsContext) {
        *error = tlsError("TLS");
        return false;
    }
    SSL_CTX_set_min_proto_version(tlsContext, TLS1_2_VERSION);
    // Both ends are measured here, on loopback: the benchmark does not verify certificates.
    SSL_CTX_set_verify(tlsContext, SSL_VERIFY_NONE, nullptr);
    // A server that closes after "quit" without a close_notify has still ended the stream.
    SSL_CTX_set_options(tlsContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // A record in one receive, as a plain reply is: the client's own cost stays out of the ratio.
    SSL_CTX_set_read_ahead(tlsContext, 1);
    resumeSessions = mode == Tls::Resumed;
    return true;
}

std::string BenchSocket::tlsFigures()
{
    if (!tlsContext)
        return std::string();
    return " tls_full=" + std::to_string(fullHandshakes.load()) + " tls_resumed=" + std::to_string(resumedHandshakes.load());
}

BenchSocket::~BenchSocket()
{
    close();
}

void BenchSocket::close()
{
    if (ssl) {
        if (resumeSessions) {
            SSL_SESSION *session = SSL_get1_session(ssl);
            if (session && SSL_SESSION_is_resumable(session)) {
                SSL_SESSION_free(lastSession);
                lastSession = session;
            } else {
                SSL_SESSION_free(session);
            }
        }
        // Counts as a clean end, so the session stays resumable, without another exchange.
        SSL_set_quiet_shutdown(ssl, 1);
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ssl = nullptr;
    }
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
    if (!tlsContext)
        return true;
    ssl = SSL_new(tlsContext);
    if (!ssl || SSL_set_fd(ssl, fd) != 1 || (lastSession && SSL_set_session(ssl, lastSession) != 1)
        || SSL_connect(ssl) != 1) {
        *error = tlsError("handshake");
        close();
        return false;
    }
    ++(SSL_session_reused(ssl) ? resumedHandshakes : fullHandshakes);
    return true;
}

long BenchSocket::receiveSome(char *buffer, size_t size)
{
    if (!ssl)
        return long(::recv(fd, buffer, size, 0));
    const int n = SSL_read(ssl, buffer, int(size));
    if (n > 0)
        return n;
    const int reason = SSL_get_error(ssl, n);
    if (reason == SSL_ERROR_ZERO_RETURN)
        return 0;
    errno = reason == SSL_ERROR_SYSCALL && errno == EINTR ? EINTR : EIO;
    return -1;
}

bool BenchSocket::sendAll(const char *data, size_t size)
{
    if (!ssl)
        return sendFully(fd, data, size);
    // One record per message, as the server reads one message per record.
    size_t written = 0;
    return size == 0 || (SSL_write_ex(ssl, data, size, &written) == 1 && written == size);
}

bool BenchSocket::receiveOnce(std::string *reply)
{
    char buffer[65536];
    for (;;) {
        const long n = receiveSome(buffer, sizeof buffer);
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
        const long n = receiveSome(&(*reply)[got], size - got);
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
        const long n = receiveSome(buffer, sizeof buffer);
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
