#pragma once

// Serves one accepted connection on a thread of its own: a waiting thread of an ended connection
// when there is one, a new detached thread otherwise. On failure no thread took it, errno-style
// text is in *error and the caller still owns the socket.
namespace ConnectionThread {

bool start(int socket, const char *clientAddress, const char **error);
// Connections started and not yet ended.
int liveConnections();

} // namespace ConnectionThread
