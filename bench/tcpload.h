#pragma once

#include "loadoptions.h"

// Load on the text protocol; each returns the process exit code (0 when every reply was right).
namespace TcpLoad {

// Persistent connections, optionally logged in, each sending --message in a closed loop.
int runRequests(const LoadOptions &options);
// Each cycle: connect, log in, one --message, "quit", wait for the close.
int runChurn(const LoadOptions &options);
// Opens --clients connections, logs each in, and reports the server's memory and threads, and
// with --db-user the MariaDB connections that user holds meanwhile.
int runIdle(const LoadOptions &options);
// Persistent logged-in connections sending --message for --duration seconds in a closed loop,
// counting right and wrong replies per 100 ms (wall-clock bucket times), for a run during which
// something is done to the server's database. A wrong reply does not end the client.
int runSeries(const LoadOptions &options);
// One --message on a fresh connection; prints its reply, so that scripts/bench can tell which
// commands this build has.
int runProbe(const LoadOptions &options);
// One upload of --size bytes, timed from the upload message to the final reply.
int runUpload(const LoadOptions &options);

} // namespace TcpLoad
