#include "closedloop.h"

#include "benchsocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadRecord {
    std::vector<uint32_t> latenciesNanos; // capped at ~4 s; slower ones are counted apart
    uint64_t slow = 0;
    uint64_t maxNanos = 0;
    bool failed = false;
    std::string error;
};

double percentileMicros(std::vector<uint32_t> &sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, size_t(fraction * double(sorted.size())));
    return double(sorted[index]) / 1000.0;
}

} // namespace

bool SameAnswerWork::isFirstAnswer(std::string *error) const
{
    if (answer == firstAnswer)
        return true;
    *error = "answer changed from " + printable(firstAnswer) + " to " + printable(answer);
    return false;
}

std::string printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

LoopResult runClosedLoop(int clients, double warmupSeconds, double durationSeconds,
                         const std::function<std::unique_ptr<ClientWork>()> &make)
{
    std::vector<ThreadRecord> records(static_cast<size_t>(clients));
    std::mutex lock;
    std::condition_variable changed;
    int ready = 0;
    bool go = false;
    Clock::time_point windowStart, windowEnd;

    std::vector<std::thread> threads;
    threads.reserve(size_t(clients));
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            ThreadRecord &record = records[size_t(i)];
            record.latenciesNanos.reserve(1 << 16);
            std::unique_ptr<ClientWork> work = make();
            const bool setUp = work->setUp(&record.error);
            record.failed = !setUp;
            {
                std::unique_lock<std::mutex> guard(lock);
                ++ready;
                changed.notify_all();
                changed.wait(guard, [&] { return go; });
            }
            if (!setUp)
                return;
            for (;;) {
                const Clock::time_point begin = Clock::now();
                if (begin >= windowEnd)
                    break;
                if (!work->runOnce(&record.error)) {
                    record.failed = true;
                    break;
                }
                const Clock::time_point end = Clock::now();
                if (begin < windowStart || end > windowEnd)
                    continue;
                const uint64_t nanos = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count());
                record.maxNanos = std::max(record.maxNanos, nanos);
                if (nanos >= 1000000000ull)
                    ++record.slow;
                record.latenciesNanos.push_back(uint32_t(std::min<uint64_t>(nanos, UINT32_MAX)));
            }
        });
    }
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return ready == clients; });
        const Clock::time_point now = Clock::now();
        windowStart = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmupSeconds));
        windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(durationSeconds));
        go = true;
        changed.notify_all();
    }
    for (std::thread &t : threads)
        t.join();

    LoopResult result;
    result.seconds = durationSeconds;
    std::vector<uint32_t> all;
    uint64_t maxNanos = 0;
    for (ThreadRecord &record : records) {
        all.insert(all.end(), record.latenciesNanos.begin(), record.latenciesNanos.end());
        result.slowOperations += record.slow;
        maxNanos = std::max(maxNanos, record.maxNanos);
        if (record.failed) {
            ++result.errors;
            if (result.firstError.empty())
                result.firstError = record.error;
        }
    }
    std::sort(all.begin(), all.end());
    result.operations = all.size();
    result.p50Micros = percentileMicros(all, 0.50);
    result.p99Micros = percentileMicros(all, 0.99);
    result.maxMicros = double(maxNanos) / 1000.0;
    return result;
}

void printLoopResult(const char *mode, int clients, const LoopResult &result)
{
    std::printf("mode=%s clients=%d operations=%llu seconds=%.3f throughput=%.1f p50_us=%.1f "
                "p99_us=%.1f max_us=%.1f slow=%llu errors=%llu%s\n",
                mode, clients, static_cast<unsigned long long>(result.operations), result.seconds,
                result.throughput(), result.p50Micros, result.p99Micros, result.maxMicros,
                static_cast<unsigned long long>(result.slowOperations),
                static_cast<unsigned long long>(result.errors), BenchSocket::tlsFigures().c_str());
    if (result.errors)
        std::printf("error: %s\n", result.firstError.c_str());
}
