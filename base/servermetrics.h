#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <memory>

// The figures the server keeps about its own work, written out in the Prometheus text format.
// Every update is a relaxed atomic add: counting must cost a request nothing measurable. Label
// values come only from fixed lists (the command table's names, the outcomes, the login
// methods), never from a client, so the number of series stays bounded.
class ServerMetrics
{
public:
    static ServerMetrics &instance();

    class Counter
    {
    public:
        void add(quint64 n = 1) { count.fetch_add(n, std::memory_order_relaxed); }
        quint64 value() const { return count.load(std::memory_order_relaxed); }

    private:
        std::atomic<quint64> count{0};
    };

    class Gauge
    {
    public:
        void add(qint64 n) { level.fetch_add(n, std::memory_order_relaxed); }
        qint64 value() const { return level.load(std::memory_order_relaxed); }

    private:
        std::atomic<qint64> level{0};
    };

    enum class Outcome { Ok, Error, Refused, BadParameters, UnknownCommand };
    enum class LoginMethod { None, UserToken, PrincipalServer, ServerToken, HostPassword, Unchecked };

    // Whether requests are counted and timed: only for a server that serves its metrics, so that
    // one without them pays nothing per request.
    void setCountingRequests(bool on) { countingRequests.store(on, std::memory_order_relaxed); }
    bool isCountingRequests() const { return countingRequests.load(std::memory_order_relaxed); }

    // The commands, once, before serving: each row of the command tables by its address, with
    // its wire name. Requests for anything else count under "other".
    void declareCommands(const QList<const void *> &rows, const QList<QByteArray> &names);
    void recordRequest(const void *row, Outcome outcome, qint64 nanoseconds);
    // None: the login was refused.
    void recordLogin(LoginMethod method);

    Counter guessingHolds;
    Counter uploads;
    Counter uploadBytes;
    Counter relays;
    Counter droppedControlClients;
    Counter poolBorrowWaits;
    Counter poolBorrowTimeouts;
    Counter poolFailovers;
    Gauge loggedIn;

    // The series above, with their HELP and TYPE lines.
    QByteArray exposition() const;

    // One series family of a gauge, for figures sampled at scrape time.
    static QByteArray gauge(const char *name, const char *help, double value);

private:
    ServerMetrics();
    struct Command;
    int slotOf(const void *row) const;

    std::unique_ptr<Command[]> commands; // the declared rows, then "other"
    QList<const void *> rowKeys;          // sorted, for a binary search
    QList<int> rowSlots;                  // the slot of each key
    int commandCount = 0;
    std::atomic<bool> countingRequests{true};
    Counter logins[6];
};
