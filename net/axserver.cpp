#include "net/axserver.h"

#include "net/connectionthread.h"
#include "net/listener.h"
#include "registration/serverregistration.h"

#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

AXServer::AXServer() = default;

AXServer::~AXServer()
{
    Listener::stopRunning();
    Listener::closeListeningSocket();
}

int AXServer::start(const QByteArray &address, int port)
{
    // The system's largest backlog: a burst of clients must queue, not be refused.
    const int socket = Listener::createListeningSocket(address, port, SOMAXCONN);
    if (socket <= 0) {
        error = tr("Something happened creating server socket. Exiting with error code %1").arg(socket);
        return socket;
    }
    Listener::setListeningSocket(socket);
    qDebug("Socket created");

    if (!Listener::waitReadable(socket)) {
        error = tr("Something happened waiting for a client connection. Exiting");
        return -1;
    }
    qDebug("Waiting for connection...");

    while (Listener::isRunning()) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int client = ::accept4(socket, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: pause instead of spinning on the same failure.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::usleep(50 * 1000);
            continue;
        }
        qDebug("Accepted socket connection");
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const char *reason = nullptr;
        if (!ConnectionThread::start(client, text, &reason)) {
            std::fprintf(stderr, "Could not create server thread. Error: %s\n", reason);
            ::close(client);
            return 1;
        }
    }
    Listener::closeListeningSocket();
    return 0;
}

int AXServer::registration(const QString &adminUser, const QString &adminPassword)
{
    return ServerRegistration(*this).run(adminUser, adminPassword);
}
