#include "base/tls.h"

#include "base/socketio.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// TLS 1.2 suites with ephemeral keys and authenticated encryption only; TLS 1.3 has nothing else.
constexpr char Tls12Suites[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

QString libraryError(const char *otherwise)
{
    const unsigned long code = ERR_peek_last_error();
    if (code == 0)
        return QString::fromLatin1(otherwise);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

// Never the library's prompt for a pass phrase on the terminal: a key must not need one.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

SSL_CTX *newContext(const SSL_METHOD *method)
{
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (!ctx)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that just closes is a closed connection, as on the plain port.
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE
                                 | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A record in one system call rather than its header and its body in two; what is read
    // beyond it waits in the library, which SSL_has_pending tells.
    SSL_CTX_set_read_ahead(ctx, 1);
    if (SSL_CTX_set_cipher_list(ctx, Tls12Suites) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool useCertificateChain(SSL_CTX *ctx, const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    if (!bio)
        return false;
    X509 *leaf = PEM_read_bio_X509_AUX(bio, nullptr, noPassphrase, nullptr);
    bool ok = leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    while (ok) {
        X509 *issuer = PEM_read_bio_X509(bio, nullptr, noPassphrase, nullptr);
        if (!issuer)
            break;
        ok = SSL_CTX_add0_chain_cert(ctx, issuer) == 1;
        if (!ok)
            X509_free(issuer);
    }
    BIO_free(bio);
    if (ok)
        ERR_clear_error(); // the end of the chain reads as an error
    return ok;
}

bool usePrivateKey(SSL_CTX *ctx, const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    if (!bio)
        return false;
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    const bool ok = key && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    return ok;
}

enum class Outcome { Done, Closed, TimedOut, Failed };

// Runs one call of the library again until it is done, waiting for the socket in between as the
// library asks; one call may need to read and write.
template <typename Call>
Outcome drive(SSL *ssl, int socket, const QDeadlineTimer &deadline, Call call)
{
    for (;;) {
        ERR_clear_error();
        const int rc = call();
        if (rc > 0)
            return Outcome::Done;
        const int error = SSL_get_error(ssl, rc);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else
            return error == SSL_ERROR_ZERO_RETURN ? Outcome::Closed : Outcome::Failed;
        if (!SocketIo::waitFor(socket, events, deadline))
            return Outcome::TimedOut;
    }
}

} // namespace

TlsContext::~TlsContext()
{
    SSL_CTX_free(handle);
}

std::shared_ptr<TlsContext> TlsContext::forServer(const QByteArray &certificateChain, const QByteArray &key,
                                                  QString *error)
{
    ERR_clear_error();
    SSL_CTX *ctx = newContext(TLS_server_method());
    if (!ctx) {
        *error = libraryError("no TLS context");
        return nullptr;
    }
    std::shared_ptr<TlsContext> context(new TlsContext(ctx));
    if (!useCertificateChain(ctx, certificateChain)) {
        *error = QStringLiteral("the certificate is not usable: %1").arg(libraryError("no certificate"));
        return nullptr;
    }
    if (!usePrivateKey(ctx, key) || SSL_CTX_check_private_key(ctx) != 1) {
        *error = QStringLiteral("the key is not usable or not the certificate's: %1").arg(libraryError("no key"));
        return nullptr;
    }
    return context;
}

std::shared_ptr<TlsContext> TlsContext::forClient(const QString &caFile, QString *error)
{
    ERR_clear_error();
    SSL_CTX *ctx = newContext(TLS_client_method());
    if (!ctx) {
        *error = libraryError("no TLS context");
        return nullptr;
    }
    std::shared_ptr<TlsContext> context(new TlsContext(ctx));
    const bool loaded = caFile.isEmpty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                         : SSL_CTX_load_verify_locations(ctx, QFile::encodeName(caFile).constData(), nullptr) == 1;
    if (!loaded) {
        *error = QStringLiteral("the CA certificates of %1 cannot be read: %2")
                     .arg(caFile.isEmpty() ? QStringLiteral("the system") : caFile, libraryError("none found"));
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return context;
}

QString TlsContext::subject() const
{
    X509 *certificate = SSL_CTX_get0_certificate(handle);
    if (!certificate)
        return QString();
    char *text = X509_NAME_oneline(X509_get_subject_name(certificate), nullptr, 0);
    const QString subject = QString::fromUtf8(text);
    OPENSSL_free(text);
    return subject;
}

TlsStream::~TlsStream()
{
    // A polite close where the socket takes it at once; the peer copes without one.
    SSL_shutdown(handle);
    SSL_free(handle);
}

std::unique_ptr<TlsStream> TlsStream::accept(int socket, const TlsContext &context, const QDeadlineTimer &deadline,
                                             QString *error)
{
    return handshake(socket, context, QString(), deadline, error);
}

std::unique_ptr<TlsStream> TlsStream::connect(int socket, const TlsContext &context, const QString &host,
                                              const QDeadlineTimer &deadline, QString *error)
{
    return handshake(socket, context, host, deadline, error);
}

std::unique_ptr<TlsStream> TlsStream::handshake(int socket, const TlsContext &context, const QString &host,
                                                const QDeadlineTimer &deadline, QString *error)
{
    // The handshake's last flight and the session tickets behind it are small writes in a row:
    // waiting for an acknowledgement between them costs each connection a delayed ACK.
    const int noDelay = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    const int flags = ::fcntl(socket, F_GETFL);
    SSL *ssl = SSL_new(context.handle);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0 || !ssl || SSL_set_fd(ssl, socket) != 1) {
        SSL_free(ssl);
        *error = QStringLiteral("the connection cannot be set up for TLS");
        return nullptr;
    }
    std::unique_ptr<TlsStream> stream(new TlsStream(socket, ssl));
    const bool isClient = !host.isNull();
    if (isClient) {
        const QByteArray name = host.toUtf8();
        // An address is checked against the certificate's addresses, a name against its names.
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.constData()) != 1
            && (SSL_set1_host(ssl, name.constData()) != 1 || SSL_set_tlsext_host_name(ssl, name.constData()) != 1)) {
            *error = QStringLiteral("%1 cannot be checked against a certificate").arg(host);
            return nullptr;
        }
    }
    const Outcome outcome = drive(ssl, socket, deadline, [&] { return isClient ? SSL_connect(ssl) : SSL_accept(ssl); });
    if (outcome == Outcome::Done)
        return stream;
    const long verified = SSL_get_verify_result(ssl);
    if (outcome == Outcome::TimedOut)
        *error = QStringLiteral("no handshake in time");
    else if (isClient && verified != X509_V_OK)
        *error = QStringLiteral("the certificate is not trusted: %1").arg(QLatin1String(X509_verify_cert_error_string(verified)));
    else
        *error = libraryError("the peer closed the connection");
    // Nothing more is said on a connection that failed its handshake.
    SSL_set_quiet_shutdown(ssl, 1);
    return nullptr;
}

qint64 TlsStream::read(char *buffer, qint64 size, const QDeadlineTimer &deadline)
{
    // A client's next message seldom waits on the socket already: waiting first saves a read
    // that would only find nothing.
    if (SSL_has_pending(handle) != 1 && !SocketIo::waitFor(socket, POLLIN, deadline))
        return NothingYet;
    size_t n = 0;
    switch (drive(handle, socket, deadline, [&] { return SSL_read_ex(handle, buffer, size_t(size), &n); })) {
    case Outcome::Done:
        return qint64(n);
    case Outcome::Closed:
        return 0;
    case Outcome::TimedOut:
        return NothingYet;
    case Outcome::Failed:
        break;
    }
    SSL_set_quiet_shutdown(handle, 1);
    return -1;
}

bool TlsStream::write(const QByteArray &bytes, const QDeadlineTimer &deadline)
{
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        size_t written = 0;
        if (drive(handle, socket, deadline, [&] { return SSL_write_ex(handle, data, left, &written); }) != Outcome::Done) {
            SSL_set_quiet_shutdown(handle, 1);
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

bool TlsStream::waitReadable(const QDeadlineTimer &deadline)
{
    return SSL_has_pending(handle) == 1 || SocketIo::waitFor(socket, POLLIN, deadline);
}
