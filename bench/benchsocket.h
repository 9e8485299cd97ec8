#pragma once

#include <string>

typedef struct ssl_st SSL;

// A blocking TCP client socket for the load generator, closed when it goes out of scope.
// Every receive gives up after the time-out set at connection, so a stalled server ends a
// run with an error instead of hanging it. With TLS on (useTls, once, before any thread
// starts), every connection does its handshake in connectTo.
class BenchSocket
{
public:
    enum class Tls { Off, Full, Resumed };
    // Resumed: each client thread offers the session of its previous connection, so only its
    // first handshake is a full one.
    static bool useTls(Tls mode, std::string *error);
    // " tls_full=N tls_resumed=M", the handshakes of this process so far; empty without TLS.
    static std::string tlsFigures();

    BenchSocket() = default;
    ~BenchSocket();
    BenchSocket(const BenchSocket &) = delete;
    BenchSocket &operator=(const BenchSocket &) = delete;

    bool connectTo(const std::string &host, int port, int timeoutSeconds, std::string *error);
    bool sendAll(const char *data, size_t size);
    bool sendAll(const std::string &bytes) { return sendAll(bytes.data(), bytes.size()); }
    // One receive: what the peer sent with one send, for a reply of unknown length.
    bool receiveOnce(std::string *reply);
    // Exactly `size` bytes, over as many receives as it takes.
    bool receiveExactly(size_t size, std::string *reply);
    // Waits until the peer has closed (end of stream), discarding anything before it.
    bool waitForClose();
    void close();
    bool isOpen() const { return fd >= 0; }

private:
    long receiveSome(char *buffer, size_t size);

    int fd = -1;
    SSL *ssl = nullptr;
};

// A login message for the text protocol with a database token and no admin group.
std::string loginMessage(const std::string &user, const std::string &token);
