#pragma once

#include "db/mysqlinfo.h"
#include "storage/axstoragecommand.h"

#include <QString>

#include <memory>

// What a connection holds for its client: its database connection, who is logged in, and a
// cloud drive being configured. The login (protocol/) writes it; the dispatcher and the handlers
// read it. One per connection, used by that connection's thread only.
struct SessionState {
    std::unique_ptr<MySqlInfo> db;
    QString userName; // null until a login succeeded
    QString password; // of the last login request
    QString clientAddress;
    bool databaseOpen = false;
    bool isAdmin = false;
    // The cloud drive being configured on this connection, if any; it goes with the connection.
    std::unique_ptr<AXStorageCommand> pendingCloudDrive;
};
