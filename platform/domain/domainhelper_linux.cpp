#include "platform/domain/domainhelper.h"

#include "platform/domain/domainwire.h"
#include "platform/netstatus.h"
#include "platform/privileged.h"
#include "platform/programs.h"

#include <QCryptographicHash>
#include <QMutexLocker>
#include <QtDebug>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace {

const char helperName[] = "ambrix-domain";
// The helper's end of the socket pair.
const int helperChannel = 3;

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}

// Waits for events on fd until the deadline; false on time-out or error.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool sendAll(int fd, const std::string &bytes, const QDeadlineTimer &deadline)
{
    return DomainWire::transferAll(bytes.size(), [&](size_t done) -> ssize_t {
        if (!waitFor(fd, POLLOUT, deadline))
            return 0;
        return ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    });
}

bool receiveExactly(int fd, std::string &out, size_t size, const QDeadlineTimer &deadline)
{
    out.assign(size, '\0');
    return DomainWire::transferAll(size, [&](size_t done) -> ssize_t {
        if (!waitFor(fd, POLLIN, deadline))
            return 0;
        return ::recv(fd, &out[done], size - done, 0);
    });
}

void wipe(std::string &text)
{
    std::fill(text.begin(), text.end(), '\0');
}

QByteArray digestOf(const DomainCredentials &credentials)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString &part : {credentials.user, credentials.password, credentials.realm}) {
        hash.addData(part.toUtf8());
        hash.addData("\0", 1);
    }
    hash.addData(credentials.useKeytab ? "1" : "0");
    return hash.result();
}

} // namespace

DomainHelper &DomainHelper::instance()
{
    static DomainHelper *helper = new DomainHelper;
    return *helper;
}

DomainHelper::Reply DomainHelper::call(const DomainCredentials &credentials, const QStringList &request)
{
    const QDeadlineTimer deadline(timeLimitMs);
    Reply reply;
    reply.status = NetStatus::InternalError;
    if (!lock.tryLock(remainingMs(deadline))) {
        qWarning("Domain helper busy for too long; request %s not sent", qUtf8Printable(request.value(0)));
        return reply;
    }
    const QByteArray digest = digestOf(credentials);
    if (!isUsable() || digest != credentialsDigest) {
        stop();
        if (!start(credentials, digest, deadline)) {
            lock.unlock();
            return reply;
        }
    }
    if (!exchange(request, &reply, deadline)) {
        qWarning("Domain helper failed or timed out on %s; it is stopped and starts again with the next request",
                 qUtf8Printable(request.value(0)));
        stop();
        reply = Reply{NetStatus::InternalError, {}};
    }
    lock.unlock();
    return reply;
}

bool DomainHelper::start(const DomainCredentials &credentials, const QByteArray &digest, const QDeadlineTimer &deadline)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        qWarning("Domain helper: no socket pair (%s)", strerror(errno));
        return false;
    }
    const QByteArray path = Programs::ownProgramPath(helperName).toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], helperChannel);
    // Whatever the library prints goes with the server's own diagnostics. It asks for a missing
    // password on the terminal: the helper has none (a session of its own) and reads nothing.
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signalSet;
    sigemptyset(&signalSet);
    posix_spawnattr_setsigmask(&attributes, &signalSet);
    sigfillset(&signalSet);
    posix_spawnattr_setsigdefault(&attributes, &signalSet);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    char *const argv[] = {const_cast<char *>(helperName), nullptr};
    pid_t child = 0;
    const int error = posix_spawn(&child, path.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pair[1]);
    if (error != 0) {
        ::close(pair[0]);
        qWarning("Domain helper %s could not be started (%s)", path.constData(), strerror(error));
        return false;
    }
    channel = pair[0];
    pid = child;
    // The credentials go over the socket only: never in arguments or the environment.
    Reply hello;
    // The helper runs as the serving account, which may not read the host's keytab: the
    // privileged side reads it for the helper when the settings ask for it.
    const QByteArray keytab = credentials.useKeytab ? Privileged::hostKeytab() : QByteArray();
    const QStringList request{QStringLiteral("hello"), credentials.user, credentials.password,
                              credentials.useKeytab ? QStringLiteral("1") : QStringLiteral("0"), credentials.realm,
                              QString::fromLatin1(keytab.toBase64())};
    if (!exchange(request, &hello, deadline) || hello.status != NetStatus::Success) {
        qWarning("Domain helper could not be set up");
        stop();
        return false;
    }
    credentialsDigest = digest;
    return true;
}

// A helper that has exited, or has closed its end or sent something unasked, is replaced.
bool DomainHelper::isUsable()
{
    if (pid <= 0 || channel < 0)
        return false;
    if (::waitpid(pid_t(pid), nullptr, WNOHANG) != 0) {
        pid = 0; // reaped (or never ours): never signalled again
        return false;
    }
    pollfd entry{channel, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 0;
}

bool DomainHelper::exchange(const QStringList &request, Reply *reply, const QDeadlineTimer &deadline)
{
    DomainWire::Fields fields;
    for (const QString &field : request)
        fields.push_back(field.toStdString());
    std::string frame = DomainWire::encode(fields);
    for (std::string &field : fields)
        wipe(field);
    const bool sent = sendAll(channel, frame, deadline);
    wipe(frame);
    std::string prefix;
    std::string payload;
    if (!sent || !receiveExactly(channel, prefix, 4, deadline))
        return false;
    const quint32 size = DomainWire::readLength(prefix.data());
    if (size > DomainWire::maxFrameSize || !receiveExactly(channel, payload, size, deadline)
        || !DomainWire::decode(payload, &fields) || fields.empty())
        return false;
    bool isNumber = false;
    reply->status = QString::fromStdString(fields.front()).toUInt(&isNumber);
    if (!isNumber)
        return false;
    reply->values.clear();
    for (size_t i = 1; i < fields.size(); ++i)
        reply->values.append(QString::fromStdString(fields[i]));
    return true;
}

void DomainHelper::stop()
{
    if (channel >= 0)
        ::close(channel);
    channel = -1;
    if (pid > 0) {
        ::kill(pid_t(pid), SIGKILL);
        ::waitpid(pid_t(pid), nullptr, 0);
    }
    pid = 0;
    credentialsDigest.clear();
}
