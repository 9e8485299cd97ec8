#pragma once

#include <QByteArray>

// A client of our own listening socket, for the watchdog: proof that the accept loop takes
// connections and a connection's thread answers them.
namespace ServingProbe {

// The text the probe sends: no command, so it is answered before any login, the database or
// another server is asked.
inline constexpr char Request[] = "watchdog_probe";

// Connects to address:port ("0.0.0.0" is reached on the loopback address) and sends Request;
// true when an answer comes within msecs. On a TLS port the bytes are no handshake: the
// connection's thread closing it is the answer.
bool isAnswered(const QByteArray &address, int port, bool tls, int msecs);

} // namespace ServingProbe
