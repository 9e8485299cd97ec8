#pragma once

#include <string>
#include <vector>

// Command-line options of ambrix-loadgen; each mode reads the ones it needs.
struct LoadOptions {
    std::string mode;
    std::string host = "127.0.0.1";
    int port = 0;
    int clients = 1;
    double warmupSeconds = 0.5;
    double durationSeconds = 3;
    int timeoutSeconds = 10;
    std::string tls = "off";   // off, full (every connection a full handshake) or resumed

    // Text protocol.
    std::string user;          // with --token: log in first
    std::string token;
    std::vector<std::string> setupMessages; // sent once per connection before measuring
    std::string message = "get_valid_applications";
    std::string expect;        // when set, the reply every request must give
    long long serverPid = 0;   // idle: the process whose memory and threads are read
    long long uploadBytes = 1 << 20;
    std::string uploadName = "bench-upload.bin";
    std::string uploadDirectory = "bench";

    // MariaDB client library.
    int dbPort = 0;            // when the modes of the text protocol also ask MariaDB; else --port
    std::string dbUser;
    std::string dbPassword;
    std::string dbName = "ambrix";
    std::string catalogueUser = "alice"; // whose permitted applications the statements gather
    // Open each connection as Qt's MySQL driver does, with its extra exchanges after the
    // handshake, to show what the driver itself costs.
    bool connectLikeQtDriver = false;
};
