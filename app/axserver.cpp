#include "app/axserver.h"
#include "app/log.h"

#include "net/listener.h"
#include "registration/serverregistration.h"

#include <QtDebug>

AXServer::AXServer() = default;

AXServer::~AXServer()
{
    Listener::stopRunning();
    Listener::closeListeningSocket();
}

int AXServer::start(const QByteArray &address, int port)
{
    // The system's largest backlog: a burst of clients must queue, not be refused.
    const int socket = Listener::createListeningSocket(address, port, Listener::LargestBacklog);
    if (socket <= 0) {
        error = tr("Something happened creating server socket. Exiting with error code %1").arg(socket);
        return socket;
    }
    Listener::setListeningSocket(socket);
    AX_DEBUG("Socket created");

    if (!Listener::waitReadable(socket)) {
        error = tr("Something happened waiting for a client connection. Exiting");
        return -1;
    }
    AX_DEBUG("Waiting for connection...");
    return Listener::acceptConnections(socket);
}

int AXServer::registration(const QString &adminUser, const QString &adminPassword)
{
    return ServerRegistration([this](int percent, const QString &text) {
               emit progress(percent);
               emit progressText(text);
           }).run(adminUser, adminPassword);
}
