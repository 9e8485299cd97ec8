// ambrix-privileged: the part of the server that keeps root. The serving process starts it before
// it gives up every privilege of its own, and from then on asks it, over socket pairs, for the
// few operations that need root (platform/privilegedwire.h). It has no network socket, never sees
// a byte of the protocol, and checks every field of every request again: the process asking
// reads the network and may be anybody's by now.
//
// Descriptor 3 is the first channel; further channels arrive over any channel as "open_channel"
// with the descriptor attached, each served by a thread of its own, so that a slow operation
// (a logoff, a program that hangs) holds up only its own caller. When the first channel ends, the
// serving process is gone, and so is this one.
#include "platform/framedsocket.h"
#include "platform/privilegedwire.h"
#include "privileged/operations.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <system_error>
#include <thread>

namespace {

const int firstChannel = 3;
// Channels beyond this are refused: the serving process opens one per concurrent request.
constexpr int maxChannels = 256;
std::atomic<int> channels{1};

void serve(int channel);

Outcome openChannel(const Wire::Fields &request, int descriptor)
{
    Outcome outcome;
    outcome.status = PrivilegedWire::Refused;
    if (request.size() != 1 || descriptor < 0 || channels.load() >= maxChannels) {
        if (descriptor >= 0)
            ::close(descriptor);
        return outcome;
    }
    ++channels;
    try {
        std::thread(serve, descriptor).detach();
    } catch (const std::system_error &) {
        // No thread to be had: this one channel is refused, the others go on.
        --channels;
        ::close(descriptor);
        return outcome;
    }
    outcome.status = 0;
    return outcome;
}

void serve(int channel)
{
    Wire::Fields request;
    int descriptor = -1;
    while (FramedSocket::receive(channel, &request, &descriptor)) {
        Outcome outcome;
        if (!request.empty() && request[0] == PrivilegedWire::OpenChannel) {
            outcome = openChannel(request, descriptor);
        } else {
            // Only an open_channel brings a descriptor.
            if (descriptor >= 0)
                ::close(descriptor);
            outcome = Operations::run(request);
        }
        // Passwords do not outlive their request.
        for (std::string &field : request)
            std::fill(field.begin(), field.end(), '\0');
        Wire::Fields reply{std::to_string(outcome.status)};
        reply.insert(reply.end(), outcome.values.begin(), outcome.values.end());
        const bool sent = FramedSocket::send(channel, reply, outcome.descriptor);
        if (outcome.descriptor >= 0)
            ::close(outcome.descriptor);
        if (!sent)
            break;
    }
    ::close(channel);
    --channels;
}

} // namespace

int main(int argc, char *argv[])
{
    // The serving process going away ends this one through its channel, never a signal of the
    // terminal's: an interrupt stops the serving process, which then closes the channel.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Handed over by dup2, which clears close-on-exec: no program started here may inherit it.
    ::fcntl(firstChannel, F_SETFD, FD_CLOEXEC);
    QCoreApplication application(argc, argv);
    serve(firstChannel);
    // Detached channel threads may still be in an operation: they go with the process.
    ::_exit(0);
}
