#pragma once

#include "loadoptions.h"

// Load on the text protocol; each returns the process exit code (0 when every reply was right).
namespace TcpLoad {

// Persistent connections, optionally logged in, each sending --message in a closed loop.
int runRequests(const LoadOptions &options);
// Each cycle: connect, log in, one --message, "quit", wait for the close.
int runChurn(const LoadOptions &options);
// Opens --clients connections, logs each in, and reports the server's memory and threads.
int runIdle(const LoadOptions &options);
// One --message on a fresh connection; prints its reply, so that scripts/bench can tell which
// commands this build has.
int runProbe(const LoadOptions &options);
// One upload of --size bytes, timed from the upload message to the final reply.
int runUpload(const LoadOptions &options);

} // namespace TcpLoad
