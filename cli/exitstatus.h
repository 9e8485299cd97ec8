#pragma once

// Exit statuses of ambrix-cli, as its usage text lists them.
enum ExitStatus {
    ExitSuccess = 0,
    ExitBadArguments = 1,   // usage error, or a local file that cannot be read or written
    ExitConnectionFailed = 2, // cannot connect, connection lost, or no reply in time
    ExitLoginRefused = 3,
    ExitUploadRefused = 4,
};
