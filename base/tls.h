#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <memory>

// The library's own types, named without its headers.
struct ssl_ctx_st;
struct ssl_st;

// Every call into the TLS library lives in tls.cpp: contexts for either end of a connection and
// the encrypted stream over a connected socket. Modern only: TLS 1.2 with forward-secret AEAD
// suites, or TLS 1.3; no compression, no renegotiation.
class TlsContext
{
public:
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // The server's end from PEM texts: the certificate (a chain may follow it) and its key. Null,
    // with the reason, when either does not parse or the key does not belong to the certificate.
    static std::shared_ptr<TlsContext> forServer(const QByteArray &certificateChain, const QByteArray &key,
                                                 QString *error);
    // The connecting end: peers are verified against the certificates of caFile, or against the
    // system's trust store when caFile is empty.
    static std::shared_ptr<TlsContext> forClient(const QString &caFile, QString *error);

    // The subject of the server certificate, for the log.
    QString subject() const;

private:
    friend class TlsStream;
    explicit TlsContext(ssl_ctx_st *handle) : handle(handle) {}
    ssl_ctx_st *const handle;
};

// One TLS connection over a connected socket, which it switches to non-blocking and never closes.
// Not for two threads at once: callers that share a stream hold their own lock around each call.
class TlsStream
{
public:
    // read() found no complete record before its deadline.
    static constexpr qint64 NothingYet = -2;
    // The largest record's content: a read of this many bytes never leaves part of one behind.
    static constexpr int LargestRecord = 16384;

    ~TlsStream();
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    // The server's handshake; null, with the reason, when it fails or the deadline passes.
    static std::unique_ptr<TlsStream> accept(int socket, const TlsContext &context, const QDeadlineTimer &deadline,
                                             QString *error);
    // The client's handshake, the peer's certificate checked for host (a name or an IPv4 address).
    static std::unique_ptr<TlsStream> connect(int socket, const TlsContext &context, const QString &host,
                                              const QDeadlineTimer &deadline, QString *error);

    // At most size bytes of one record: the count, 0 when the peer closed, -1 on failure, NothingYet
    // when the deadline passed first.
    qint64 read(char *buffer, qint64 size, const QDeadlineTimer &deadline);
    // Every byte, or false when the peer is gone or the deadline passed.
    bool write(const QByteArray &bytes, const QDeadlineTimer &deadline);
    // True when a record can be read now or arrives before the deadline.
    bool waitReadable(const QDeadlineTimer &deadline);

private:
    TlsStream(int socket, ssl_st *handle) : socket(socket), handle(handle) {}
    static std::unique_ptr<TlsStream> handshake(int socket, const TlsContext &context, const QString &host,
                                                const QDeadlineTimer &deadline, QString *error);

    const int socket;
    ssl_st *const handle;
};
