#include "tcpload.h"

#include "benchsocket.h"
#include "closedloop.h"
#include "dbload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool isLoggingIn(const LoadOptions &o)
{
    return !o.user.empty();
}

// Connects and, when asked, logs in and sends the set-up messages.
bool openSession(BenchSocket &socket, const LoadOptions &o, std::string *error)
{
    if (!socket.connectTo(o.host, o.port, o.timeoutSeconds, error))
        return false;
    std::string reply;
    if (isLoggingIn(o)) {
        if (!socket.sendAll(loginMessage(o.user, o.token)) || !socket.receiveOnce(&reply)) {
            *error = "no reply to the login";
            return false;
        }
        if (reply.empty() || reply.compare(0, 5, "Error") == 0) {
            *error = "login refused: " + printable(reply);
            return false;
        }
    }
    for (const std::string &message : o.setupMessages) {
        // Only that an answer came matters here; set-up commands answer at least a line end.
        if (!socket.sendAll(message) || !socket.receiveOnce(&reply)) {
            *error = "no reply to " + message;
            return false;
        }
    }
    return true;
}

class RequestWork : public SameAnswerWork
{
public:
    explicit RequestWork(const LoadOptions &o) : o(o) {}

    bool setUp(std::string *error) override
    {
        if (!openSession(socket, o, error))
            return false;
        if (!socket.sendAll(o.message) || !socket.receiveOnce(&firstAnswer)) {
            *error = "no reply to " + o.message;
            return false;
        }
        if (!o.expect.empty() && firstAnswer != o.expect) {
            *error = "unexpected reply: " + printable(firstAnswer);
            return false;
        }
        return true;
    }

    bool runOnce(std::string *error) override
    {
        if (!socket.sendAll(o.message) || !socket.receiveExactly(firstAnswer.size(), &answer)) {
            *error = "connection lost";
            return false;
        }
        return isFirstAnswer(error);
    }

private:
    const LoadOptions &o;
    BenchSocket socket;
};

class ChurnWork : public ClientWork
{
public:
    explicit ChurnWork(const LoadOptions &o) : o(o) {}

    bool setUp(std::string *) override { return true; }

    bool runOnce(std::string *error) override
    {
        BenchSocket socket;
        if (!openSession(socket, o, error))
            return false;
        std::string reply;
        if (!socket.sendAll(o.message) || !socket.receiveOnce(&reply)) {
            *error = "no reply to " + o.message;
            return false;
        }
        if (!o.expect.empty() && reply != o.expect) {
            *error = "unexpected reply: " + printable(reply);
            return false;
        }
        if (!socket.sendAll(std::string("quit")) || !socket.waitForClose()) {
            *error = "not closed after quit";
            return false;
        }
        return true;
    }

private:
    const LoadOptions &o;
};

struct ProcessFigures {
    long long rssKiB = 0;
    long long threads = 0;
};

ProcessFigures readProcessFigures(long long pid)
{
    ProcessFigures figures;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> figures.rssKiB;
        else if (key == "Threads:")
            status >> figures.threads;
        status.ignore(1 << 20, '\n');
    }
    return figures;
}

// Freed memory and finishing threads settle within a few hundred milliseconds.
ProcessFigures readSettledFigures(long long pid)
{
    ProcessFigures last = readProcessFigures(pid);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const ProcessFigures now = readProcessFigures(pid);
        if (now.rssKiB == last.rssKiB && now.threads == last.threads)
            return now;
        last = now;
    }
    return last;
}

} // namespace

namespace TcpLoad {

int runRequests(const LoadOptions &o)
{
    return measureClosedLoop<RequestWork>("request", o);
}

int runChurn(const LoadOptions &o)
{
    return measureClosedLoop<ChurnWork>("churn", o);
}

int runIdle(const LoadOptions &o)
{
    if (o.serverPid <= 0) {
        std::fprintf(stderr, "idle needs --pid\n");
        return 2;
    }
    std::string error;
    {
        // One full session first: what the first connection loads stays loaded and is not
        // a cost per connection.
        BenchSocket first;
        std::string reply;
        if (!openSession(first, o, &error) || !first.sendAll(o.message) || !first.receiveOnce(&reply)) {
            std::printf("mode=idle errors=1\nerror: first session: %s\n", error.c_str());
            return 1;
        }
    }
    const ProcessFigures before = readSettledFigures(o.serverPid);

    std::vector<std::unique_ptr<BenchSocket>> sockets(static_cast<size_t>(o.clients));
    const int openers = std::min(16, o.clients);
    std::vector<std::string> errors(static_cast<size_t>(openers));
    std::vector<std::thread> threads;
    for (int t = 0; t < openers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < o.clients; i += openers) {
                auto socket = std::make_unique<BenchSocket>();
                if (!openSession(*socket, o, &errors[size_t(t)]))
                    return;
                sockets[size_t(i)] = std::move(socket);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    const ProcessFigures after = readSettledFigures(o.serverPid);
    const long long databaseConnections = o.dbUser.empty() ? -1 : DbLoad::countConnections(o);

    // Held means still answering: every connection gets one more request.
    int held = 0;
    std::string reply;
    for (auto &socket : sockets) {
        if (socket && socket->sendAll(o.message) && socket->receiveOnce(&reply))
            ++held;
    }
    sockets.clear();
    for (const std::string &e : errors) {
        if (!e.empty() && error.empty())
            error = e;
    }
    const double perConnection = o.clients ? double(after.rssKiB - before.rssKiB) / o.clients : 0;
    std::printf("mode=idle clients=%d held=%d rss_before_kib=%lld rss_after_kib=%lld "
                "threads_before=%lld threads_after=%lld rss_per_connection_kib=%.1f db_connections=%lld "
                "errors=%d\n",
                o.clients, held, before.rssKiB, after.rssKiB, before.threads, after.threads,
                perConnection, databaseConnections, held == o.clients ? 0 : 1);
    if (held != o.clients)
        std::printf("error: %d of %d connections held; %s\n", held, o.clients, error.c_str());
    return held == o.clients ? 0 : 1;
}

int runSeries(const LoadOptions &o)
{
    constexpr int bucketMs = 100;
    const size_t buckets = size_t(o.durationSeconds * 1000 / bucketMs) + 1;
    std::vector<std::atomic<long>> right(buckets), wrong(buckets);
    const auto wallStart = std::chrono::system_clock::now();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(long(o.durationSeconds * 1000));
    std::string firstError;
    std::mutex errorLock;
    std::vector<std::thread> threads;
    for (int c = 0; c < o.clients; ++c) {
        threads.emplace_back([&] {
            BenchSocket socket;
            std::string error, reply;
            bool open = false;
            while (Clock::now() < end) {
                // A connection the server closed is opened again: a failover must not end a client.
                if (!open && !(open = openSession(socket, o, &error))) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    continue;
                }
                const bool answered = socket.sendAll(o.message) && socket.receiveOnce(&reply);
                const size_t bucket = size_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 Clock::now() - start).count() / bucketMs);
                if (bucket >= buckets)
                    break;
                if (!answered) {
                    error = "connection lost";
                    open = false;
                    socket.close();
                }
                const bool ok = answered && (o.expect.empty() || reply == o.expect);
                (ok ? right : wrong)[bucket]++;
            }
            if (!error.empty()) {
                std::lock_guard<std::mutex> locker(errorLock);
                if (firstError.empty())
                    firstError = error;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    auto join = [&](std::vector<std::atomic<long>> &counts) {
        std::string text;
        for (size_t i = 0; i < buckets; ++i)
            text += (i ? "," : "") + std::to_string(counts[i].load());
        return text;
    };
    const long long startMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  wallStart.time_since_epoch()).count();
    std::printf("mode=series clients=%d start_ms=%lld bucket_ms=%d right=%s wrong=%s errors=0\n",
                o.clients, startMs, bucketMs, join(right).c_str(), join(wrong).c_str());
    if (!firstError.empty())
        std::printf("note: %s\n", firstError.c_str());
    return 0;
}

int runProbe(const LoadOptions &o)
{
    BenchSocket socket;
    std::string error;
    std::string reply;
    if (!openSession(socket, o, &error) || !socket.sendAll(o.message) || !socket.receiveOnce(&reply)) {
        std::printf("error: %s\n", error.empty() ? "no reply" : error.c_str());
        return 1;
    }
    std::printf("reply=%s\n", printable(reply).c_str());
    return 0;
}

int runUpload(const LoadOptions &o)
{
    BenchSocket socket;
    std::string error;
    if (!openSession(socket, o, &error)) {
        std::printf("mode=upload errors=1\nerror: %s\n", error.c_str());
        return 1;
    }
    std::vector<char> piece(1 << 20);
    for (size_t i = 0; i < piece.size(); ++i)
        piece[i] = char((i * 2654435761u) >> 13);

    const Clock::time_point begin = Clock::now();
    const std::string message = "_sendBinaryFile_?" + o.uploadName + "&" + o.uploadDirectory + "&"
                                + std::to_string(o.uploadBytes);
    std::string reply;
    if (!socket.sendAll(message) || !socket.receiveExactly(2, &reply) || reply != "Ok") {
        std::printf("mode=upload errors=1\nerror: no \"Ok\" for the upload: %s\n", printable(reply).c_str());
        return 1;
    }
    long long left = o.uploadBytes;
    while (left > 0) {
        const size_t n = size_t(std::min<long long>(left, (long long)piece.size()));
        if (!socket.sendAll(piece.data(), n)) {
            std::printf("mode=upload errors=1\nerror: connection lost while sending\n");
            return 1;
        }
        left -= (long long)n;
    }
    if (!socket.receiveOnce(&reply))
        reply = "(nothing)";
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const bool ok = reply == o.uploadDirectory;
    std::printf("mode=upload clients=1 bytes=%lld seconds=%.3f throughput=%.1f errors=%d\n",
                o.uploadBytes, seconds, double(o.uploadBytes) / seconds, ok ? 0 : 1);
    if (!ok)
        std::printf("error: final reply %s\n", printable(reply).c_str());
    return ok ? 0 : 1;
}

} // namespace TcpLoad
