#pragma once

#include "loadoptions.h"

// Load sent straight to MariaDB through its client library: the baselines of the commands that
// are bound by the database. Each returns the process exit code.
namespace DbLoad {

// One connection per client, each running the statements that gather a user's permitted
// applications, in the server's order, one gathering per operation.
int runPermittedApplications(const LoadOptions &options);
// Each operation: connect, the token look-up of a login, close.
int runChurn(const LoadOptions &options);

// The connections --db-user holds on the database now, not counting the one asking; -1 when
// the database cannot be asked.
long long countConnections(const LoadOptions &options);

// Called once before any thread uses the library.
void initialiseLibrary();

} // namespace DbLoad
