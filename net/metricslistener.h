#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The metrics endpoint: HTTP GET of one path on a listening socket of its own, served from a
// thread of its own, one scrape at a time. Anything else is answered with an error status and
// closed; a request is read up to a few kilobytes and a few seconds, then dropped.
namespace MetricsListener {

inline constexpr char Path[] = "/metrics";

// Listens on "a.b.c.d:port"; the socket, or -1 with the reason.
int listenOn(const QString &addressAndPort, QString *error);
// The body of each answer to GET: the scrape's text. On failure the socket is closed.
bool start(int socket, std::function<QByteArray()> scrape, QString *error);

} // namespace MetricsListener
