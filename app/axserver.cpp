#include "app/axserver.h"
#include "base/log.h"

#include "app/metricsscrape.h"
#include "app/supervision.h"
#include "base/servermetrics.h"
#include "base/settings.h"
#include "net/listener.h"
#include "net/metricslistener.h"
#include "net/servertls.h"
#include "platform/confinement.h"
#include "platform/privileged.h"
#include "registration/serverregistration.h"

#include <QFile>
#include <QtDebug>

AXServer::AXServer() = default;

AXServer::~AXServer()
{
    Listener::stopRunning();
    Listener::closeListeningSocket();
}

int AXServer::start(const QByteArray &address, int port)
{
    int socket = 0;
    if (Settings::plainListenerOn()) {
        // The system's largest backlog: a burst of clients must queue, not be refused.
        socket = Listener::createListeningSocket(address, port, Listener::LargestBacklog);
        if (socket <= 0) {
            error = tr("Something happened creating server socket. Exiting with error code %1").arg(socket);
            return socket;
        }
        Listener::setListeningSocket(socket);
        AX_DEBUG("Socket created");
    }
    // The privileged side reads the certificate and key: the key is root's alone.
    int tlsSocket = 0;
    QString tlsOff;
    if (ServerTls::instance().load(&tlsOff)) {
        tlsSocket = Listener::createListeningSocket(address, Settings::tlsPort(), Listener::LargestBacklog);
        if (tlsSocket <= 0) {
            error = tr("Something happened creating the TLS server socket. Exiting with error code %1").arg(tlsSocket);
            return tlsSocket;
        }
        Listener::setTlsListeningSocket(tlsSocket);
    }

    // The metrics endpoint is not worth a failed start: without it the server serves on.
    QString metricsError;
    const QString metricsAddress = Settings::metricsAddress();
    ServerMetrics::instance().setCountingRequests(!metricsAddress.isEmpty());
    const int metricsSocket = metricsAddress.isEmpty() ? -1 : MetricsListener::listenOn(metricsAddress, &metricsError);

    // Bound while still root (an operator may choose a port below 1024); from here on the
    // process serves without any privilege, and root's work goes to the privileged side.
    QString reason;
    if (!Confinement::confine(&reason)) {
        error = tr("The server could not give up its privileges: %1").arg(reason);
        return 1;
    }
    Log::setEntryWriter([](bool isError, const QString &text) { Privileged::appendLog(isError, text); });
    QFile settings(Settings::settingsPath());
    if (settings.exists() && !settings.open(QIODevice::ReadOnly)) {
        error = tr("The settings file %1 cannot be read by the serving account %2")
                    .arg(Settings::settingsPath(), QLatin1String(Confinement::ServingAccount));
        return 1;
    }
    if (!tlsOff.isEmpty())
        Log::error(QStringLiteral("No TLS listener: %1").arg(tlsOff));
    else if (tlsSocket > 0)
        Log::info(QStringLiteral("TLS listener on port %1, certificate %2")
                      .arg(Settings::tlsPort()).arg(ServerTls::instance().context()->subject()));
    if (socket <= 0 && tlsSocket <= 0) {
        error = tr("PlainListener is false and there is no TLS listener: nothing to serve");
        return 1;
    }
    if (metricsSocket >= 0)
        MetricsListener::start(metricsSocket, MetricsScrape::text, &metricsError);
    if (!metricsError.isEmpty())
        Log::error(QStringLiteral("No metrics endpoint: %1").arg(metricsError));
    if (!Supervision::begin(address, socket > 0 ? port : 0, tlsSocket > 0 ? Settings::tlsPort() : 0, &reason)) {
        error = tr("The service manager was not told the server is ready: %1").arg(reason);
        return 1;
    }

    if (!Listener::waitReadable(socket, tlsSocket)) {
        error = tr("Something happened waiting for a client connection. Exiting");
        return -1;
    }
    AX_DEBUG("Waiting for connection...");
    return Listener::acceptConnections(socket, tlsSocket);
}

int AXServer::registration(const QString &adminUser, const QString &adminPassword,
                           const std::function<bool()> &beforeNetwork)
{
    return ServerRegistration(
               [this](int percent, const QString &text) {
                   emit progress(percent);
                   emit progressText(text);
               },
               beforeNetwork)
        .run(adminUser, adminPassword);
}
