// ambrix-loadgen: the closed-loop load generator of scripts/bench. Every client is a thread
// with a blocking connection that starts its next operation as soon as the last one finished.
// It prints one line of "key=value" pairs (and an "error:" line when something went wrong) and
// exits non-zero when a reply was wrong or a connection failed.

#include "benchsocket.h"
#include "dbload.h"
#include "loadoptions.h"
#include "tcpload.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char usage[] =
    "usage: ambrix-loadgen MODE [options]\n"
    "modes:\n"
    "  request      persistent connections, each sending --message in a closed loop\n"
    "  churn        per operation: connect, log in, --message, quit, wait for the close\n"
    "  idle         open --clients connections (logged in with --user) and report the\n"
    "               memory and threads of --pid before and after\n"
    "  series       persistent connections sending --message for --duration seconds;\n"
    "               right and wrong replies per 100 ms (for a failover)\n"
    "  probe        one --message on a fresh connection; prints the reply\n"
    "  upload       one upload of --size bytes\n"
    "  db-statements  per operation: a user's permitted applications, straight from MariaDB\n"
    "  db-churn     per operation: connect to MariaDB, the login's token query, close\n"
    "options:\n"
    "  --host ADDR --port N --clients N --duration S --warmup S --timeout S\n"
    "  --tls full|resumed          TLS on every connection, each handshake a full one, or\n"
    "                              resuming the client's previous session where it can\n"
    "  --user NAME --token TOKEN   log in on every connection first\n"
    "  --setup MESSAGE             sent once per connection before measuring (repeatable)\n"
    "  --message MESSAGE --expect REPLY (\\n in both stands for a line end)\n"
    "  --pid PID --size BYTES --upload-name NAME --upload-dir DIR\n"
    "  --db-user NAME --db-password TEXT --db-name NAME --catalogue-user NAME\n"
    "  --db-port N                 MariaDB's port where --port is the server's (idle)\n"
    "  --connect-like qt           open MariaDB connections as Qt's MySQL driver does\n";

std::string unescaped(const char *text)
{
    std::string out;
    for (const char *p = text; *p; ++p) {
        if (p[0] == '\\' && p[1] == 'n') {
            out += '\n';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

bool parse(int argc, char **argv, LoadOptions *o)
{
    if (argc < 2)
        return false;
    o->mode = argv[1];
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc)
            return false;
        const std::string key = argv[i];
        const char *value = argv[i + 1];
        if (key == "--host") o->host = value;
        else if (key == "--port") o->port = std::atoi(value);
        else if (key == "--clients") o->clients = std::atoi(value);
        else if (key == "--duration") o->durationSeconds = std::atof(value);
        else if (key == "--warmup") o->warmupSeconds = std::atof(value);
        else if (key == "--timeout") o->timeoutSeconds = std::atoi(value);
        else if (key == "--tls") o->tls = value;
        else if (key == "--user") o->user = value;
        else if (key == "--token") o->token = value;
        else if (key == "--setup") o->setupMessages.push_back(unescaped(value));
        else if (key == "--message") o->message = unescaped(value);
        else if (key == "--expect") o->expect = unescaped(value);
        else if (key == "--pid") o->serverPid = std::atoll(value);
        else if (key == "--size") o->uploadBytes = std::atoll(value);
        else if (key == "--upload-name") o->uploadName = value;
        else if (key == "--upload-dir") o->uploadDirectory = value;
        else if (key == "--db-port") o->dbPort = std::atoi(value);
        else if (key == "--db-user") o->dbUser = value;
        else if (key == "--db-password") o->dbPassword = value;
        else if (key == "--db-name") o->dbName = value;
        else if (key == "--catalogue-user") o->catalogueUser = value;
        else if (key == "--connect-like") o->connectLikeQtDriver = std::string(value) == "qt";
        else return false;
    }
    return o->port > 0 && o->clients > 0 && (o->tls == "off" || o->tls == "full" || o->tls == "resumed");
}

} // namespace

int main(int argc, char **argv)
{
    LoadOptions o;
    if (!parse(argc, argv, &o)) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    const BenchSocket::Tls tls = o.tls == "full" ? BenchSocket::Tls::Full
                                 : o.tls == "resumed" ? BenchSocket::Tls::Resumed : BenchSocket::Tls::Off;
    if (!BenchSocket::useTls(tls, &error)) {
        std::fprintf(stderr, "error: %s\n", error.c_str());
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.mode == "request")
        return TcpLoad::runRequests(o);
    if (o.mode == "churn")
        return TcpLoad::runChurn(o);
    if (o.mode == "idle")
        DbLoad::initialiseLibrary();
    if (o.mode == "idle")
        return TcpLoad::runIdle(o);
    if (o.mode == "series")
        return TcpLoad::runSeries(o);
    if (o.mode == "probe")
        return TcpLoad::runProbe(o);
    if (o.mode == "upload")
        return TcpLoad::runUpload(o);
    if (o.mode == "db-statements" || o.mode == "db-churn") {
        DbLoad::initialiseLibrary();
        return o.mode == "db-statements" ? DbLoad::runPermittedApplications(o) : DbLoad::runChurn(o);
    }
    std::fputs(usage, stderr);
    return 2;
}
