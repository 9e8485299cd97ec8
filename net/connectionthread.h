#pragma once

// Serves one accepted connection on a thread of its own: a waiting thread of an ended connection
// when there is one, a new detached thread otherwise. On failure no thread took it, errno-style
// text is in *error and the caller still owns the socket. A connection of the TLS listener starts
// with the handshake, in its thread.
namespace ConnectionThread {

bool start(int socket, bool tls, const char *clientAddress, const char **error);
// Connections started and not yet ended.
int liveConnections();

} // namespace ConnectionThread
