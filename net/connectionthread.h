#pragma once

// Starts the detached thread that serves one accepted connection. On failure the thread was
// not created, errno-style text is in *error and the caller still owns the socket.
namespace ConnectionThread {

bool start(int socket, const char *clientAddress, const char **error);

} // namespace ConnectionThread
