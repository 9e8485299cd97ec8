#pragma once

#include "loadoptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One simulated client of a closed loop: it sets itself up once (connect, log in), then runs one
// operation at a time, each started as soon as the previous one has finished.
class ClientWork
{
public:
    virtual ~ClientWork() = default;
    // False with a reason when the client cannot take part; the run then fails.
    virtual bool setUp(std::string *error) = 0;
    // One operation (a request and its reply, a connection cycle...); false on a wrong reply
    // or a broken connection, which ends this client.
    virtual bool runOnce(std::string *error) = 0;
};

// Work whose every operation must give, byte for byte, the answer its first one gave.
class SameAnswerWork : public ClientWork
{
protected:
    bool isFirstAnswer(std::string *error) const;

    std::string firstAnswer;
    std::string answer;
};

// The text with line ends made visible, for error messages.
std::string printable(const std::string &text);

struct LoopResult {
    uint64_t operations = 0;  // completed inside the measured window
    double seconds = 0;       // length of the measured window
    double p50Micros = 0;
    double p99Micros = 0;
    double maxMicros = 0;
    uint64_t slowOperations = 0; // operations that took a second or more
    uint64_t errors = 0;
    std::string firstError;

    double throughput() const { return seconds > 0 ? double(operations) / seconds : 0; }
};

// Runs `clients` threads, each with the work `make` gives it (made on that thread). All of them
// set up first; then they run together for warmup + duration seconds and only operations that
// start after the warm-up and end inside the window are counted.
LoopResult runClosedLoop(int clients, double warmupSeconds, double durationSeconds,
                         const std::function<std::unique_ptr<ClientWork>()> &make);

// Prints the result as "key=value" pairs on one line, for scripts/bench.
void printLoopResult(const char *mode, int clients, const LoopResult &result);

// The closed loop of the options with one Work per client, printed under `mode`; returns the
// exit code of ambrix-loadgen.
template <class Work>
int measureClosedLoop(const char *mode, const LoadOptions &o)
{
    const LoopResult result = runClosedLoop(o.clients, o.warmupSeconds, o.durationSeconds,
                                            [&] { return std::make_unique<Work>(o); });
    printLoopResult(mode, o.clients, result);
    return result.errors ? 1 : 0;
}
