#include "app/options.h"
#include "app/runmodes.h"

#include <QString>

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

void writeOut(const char *text)
{
    const ssize_t ignored = ::write(STDOUT_FILENO, text, std::strlen(text));
    (void)ignored;
}

// Runs asynchronously to the accept loop: only async-signal-safe calls in here. The service
// manager stops with SIGINT (the unit says so); SIGTERM, its default, stops the same way.
void onInterrupt(int signalNumber)
{
    if (signalNumber != SIGINT && signalNumber != SIGTERM)
        return;
    writeOut("Stopping Ambrix server...\n");
    RunModes::stopServingFromSignal();
    writeOut("done.\n");
    ::_exit(0);
}

void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A client that disconnects while we write must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char **argv)
{
    installSignalHandlers();

    const QString port = Options::lookup(argc, argv, "--port", "-p", QStringLiteral("4445"));
    const QString address = Options::lookup(argc, argv, "--address", "-a", QStringLiteral("0.0.0.0"));
    const QString adminUser = Options::lookup(argc, argv, "--adminuser", "-u", QString());
    const QString adminPassword = Options::lookup(argc, argv, "--password", "-w", QString());
    const QString init = Options::lookup(argc, argv, "--init", "-i", QStringLiteral("false"));

    if (adminUser.isEmpty() && adminPassword.isEmpty() && init != QLatin1String("true"))
        return RunModes::serve(argc, argv, port, address);
    if (init == QLatin1String("true"))
        return RunModes::runDialog(argc, argv, adminUser, adminPassword);
    return RunModes::runRegistration(adminUser, adminPassword);
}
