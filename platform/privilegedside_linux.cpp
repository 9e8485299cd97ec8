#include "platform/privilegedside.h"

#include "platform/framedsocket.h"
#include "platform/programs.h"
#include "platform/privilegedwire.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char **environ;

namespace {

const char programName[] = "ambrix-privileged";
// The program's end of its first channel.
const int programChannel = 3;
// Requests in flight at once; a caller beyond waits for a channel to come back.
constexpr size_t maxChannels = 64;

// The serving process cannot go on without its privileged side, nor bring it back: it has no
// privilege left to start it with. It ends, and whoever runs it starts both again.
[[noreturn]] void lost()
{
    static const char line[] = "The privileged side of the server ended; the server stops.\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line, sizeof line - 1);
    (void)ignored;
    ::_exit(1);
}

class Channels
{
public:
    static Channels &instance()
    {
        static Channels *channels = new Channels; // connection threads may outlive main
        return *channels;
    }

    bool start(const QString &program, QString *error)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            *error = QStringLiteral("socketpair: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        const QByteArray path = QFile::encodeName(program);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], programChannel);
        char *const argv[] = {const_cast<char *>(programName), nullptr};
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pair[1]);
        if (rc != 0) {
            ::close(pair[0]);
            *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(rc)));
            return false;
        }
        QMutexLocker locker(&lock);
        control = pair[0];
        return true;
    }

    bool isStarted()
    {
        QMutexLocker locker(&lock);
        return control >= 0;
    }

    // -1 when the privileged side was never started (a process that does not serve).
    int borrow()
    {
        QMutexLocker locker(&lock);
        if (control < 0)
            return -1;
        while (idle.empty() && opened >= maxChannels)
            returned.wait(&lock);
        if (!idle.empty()) {
            const int channel = idle.back();
            idle.pop_back();
            return channel;
        }
        ++opened;
        locker.unlock();
        const int channel = openChannel();
        if (channel < 0) {
            locker.relock();
            --opened;
        }
        return channel;
    }

    void giveBack(int channel)
    {
        QMutexLocker locker(&lock);
        idle.push_back(channel);
        returned.wakeOne();
    }

private:
    Channels() = default;

    // A new socket pair, one end handed to the privileged side over the first channel.
    int openChannel()
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return -1;
        Wire::Fields reply;
        int ignored = -1;
        bool ok;
        {
            QMutexLocker locker(&controlLock);
            ok = FramedSocket::send(control, {PrivilegedWire::OpenChannel}, pair[1])
                 && FramedSocket::receive(control, &reply, &ignored);
        }
        ::close(pair[1]);
        if (ignored >= 0)
            ::close(ignored);
        if (!ok)
            lost();
        if (reply.empty() || reply[0] != "0") {
            ::close(pair[0]);
            return -1;
        }
        return pair[0];
    }

    QMutex lock; // guards idle, opened and control
    QWaitCondition returned;
    std::vector<int> idle;
    size_t opened = 0;
    int control = -1;
    // Held for one exchange on the first channel: its whole job is to serialise that stream.
    QMutex controlLock;
};

} // namespace

namespace PrivilegedSide {

bool start(QString *error)
{
    return Channels::instance().start(Programs::ownProgramPath(programName), error);
}

bool start(const QString &program, QString *error)
{
    return Channels::instance().start(program, error);
}

bool isStarted()
{
    return Channels::instance().isStarted();
}

Reply call(const Wire::Fields &request)
{
    Reply reply;
    Channels &channels = Channels::instance();
    const int channel = channels.borrow();
    if (channel < 0)
        return reply;
    Wire::Fields fields;
    if (!FramedSocket::send(channel, request) || !FramedSocket::receive(channel, &fields, &reply.descriptor)
        || fields.empty())
        lost();
    channels.giveBack(channel);
    reply.answered = true;
    reply.status = quint32(std::strtoul(fields[0].c_str(), nullptr, 10));
    reply.values.assign(fields.begin() + 1, fields.end());
    return reply;
}

} // namespace PrivilegedSide
