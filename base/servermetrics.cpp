#include "base/servermetrics.h"

#include <algorithm>
#include <iterator>

namespace {

using Outcome = ServerMetrics::Outcome;

const char *const outcomeNames[] = {"ok", "error", "refused", "bad_parameters", "unknown_command"};
constexpr int outcomeCount = int(std::size(outcomeNames));
const char *const methodNames[] = {"none", "user_token", "principal_server", "server_token", "host_password",
                                   "unchecked"};

// Upper bounds in seconds: a cached answer takes microseconds, a catalogue query a millisecond or
// so, a host account's change or a peer's answer up to seconds.
constexpr double bucketBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr int bucketCount = int(std::size(bucketBounds));

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

void writeHeader(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

} // namespace

struct ServerMetrics::Command {
    QByteArray name;
    std::atomic<quint64> outcomes[outcomeCount] = {};
    std::atomic<quint64> buckets[bucketCount + 1] = {}; // the last: beyond every bound
    std::atomic<quint64> nanoseconds{0};

    quint64 total() const
    {
        quint64 sum = 0;
        for (const auto &o : outcomes)
            sum += o.load(std::memory_order_relaxed);
        return sum;
    }
};

ServerMetrics &ServerMetrics::instance()
{
    static ServerMetrics *metrics = new ServerMetrics; // connection threads may outlive main
    return *metrics;
}

ServerMetrics::ServerMetrics() : commands(new Command[1])
{
    commands[0].name = "other";
}

void ServerMetrics::declareCommands(const QList<const void *> &rows, const QList<QByteArray> &names)
{
    // Once, before any connection thread counts.
    if (commandCount > 0 || rows.size() != names.size())
        return;
    const int n = rows.size();
    std::unique_ptr<Command[]> declared(new Command[size_t(n) + 1]);
    QList<int> order;
    for (int i = 0; i < n; ++i) {
        declared[size_t(i)].name = names.at(i);
        order.append(i);
    }
    declared[size_t(n)].name = "other";
    std::sort(order.begin(), order.end(), [&](int a, int b) { return rows.at(a) < rows.at(b); });
    for (const int i : order) {
        rowKeys.append(rows.at(i));
        rowSlots.append(i);
    }
    commands = std::move(declared);
    commandCount = n;
}

int ServerMetrics::slotOf(const void *row) const
{
    const auto it = std::lower_bound(rowKeys.cbegin(), rowKeys.cend(), row);
    if (row && it != rowKeys.cend() && *it == row)
        return rowSlots.at(int(it - rowKeys.cbegin()));
    return commandCount;
}

void ServerMetrics::recordRequest(const void *row, Outcome outcome, qint64 nanoseconds)
{
    Command &c = commands[size_t(slotOf(row))];
    c.outcomes[int(outcome)].fetch_add(1, std::memory_order_relaxed);
    const double seconds = double(nanoseconds) / 1e9;
    const int bucket = int(std::lower_bound(std::begin(bucketBounds), std::end(bucketBounds), seconds)
                           - std::begin(bucketBounds));
    c.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    c.nanoseconds.fetch_add(quint64(qMax<qint64>(0, nanoseconds)), std::memory_order_relaxed);
}

void ServerMetrics::recordLogin(LoginMethod method)
{
    logins[int(method)].add();
}

QByteArray ServerMetrics::gauge(const char *name, const char *help, double value)
{
    QByteArray out;
    writeHeader(out, name, "gauge", help);
    return out + name + ' ' + number(value) + '\n';
}

QByteArray ServerMetrics::exposition() const
{
    QByteArray out;
    out.reserve(16384);
    // Commands never asked for are left out: a scrape stays short.
    writeHeader(out, "ambrix_requests_total", "counter", "Requests answered, by command and outcome.");
    for (int s = 0; s <= commandCount; ++s) {
        const Command &c = commands[size_t(s)];
        for (int o = 0; o < outcomeCount; ++o) {
            const quint64 n = c.outcomes[o].load(std::memory_order_relaxed);
            if (n)
                out += "ambrix_requests_total{command=\"" + c.name + "\",outcome=\"" + outcomeNames[o] + "\"} "
                       + QByteArray::number(n) + '\n';
        }
    }
    writeHeader(out, "ambrix_request_duration_seconds", "histogram", "Time the server took to answer a request, from its parsing to its reply, by command.");
    for (int s = 0; s <= commandCount; ++s) {
        const Command &c = commands[size_t(s)];
        if (!c.total())
            continue;
        const QByteArray series = "ambrix_request_duration_seconds_bucket{command=\"" + c.name + "\",le=\"";
        quint64 cumulative = 0;
        for (int b = 0; b <= bucketCount; ++b) {
            cumulative += c.buckets[b].load(std::memory_order_relaxed);
            out += series + (b < bucketCount ? number(bucketBounds[b]) : QByteArray("+Inf")) + "\"} "
                   + QByteArray::number(cumulative) + '\n';
        }
        out += "ambrix_request_duration_seconds_sum{command=\"" + c.name + "\"} "
               + number(double(c.nanoseconds.load(std::memory_order_relaxed)) / 1e9) + '\n';
        out += "ambrix_request_duration_seconds_count{command=\"" + c.name + "\"} " + QByteArray::number(cumulative)
               + '\n';
    }
    writeHeader(out, "ambrix_logins_total", "counter", "Logins by the method that accepted them; none: refused.");
    for (int m = 0; m < int(std::size(methodNames)); ++m)
        out += QByteArray("ambrix_logins_total{method=\"") + methodNames[m] + "\"} "
               + QByteArray::number(logins[m].value()) + '\n';
    const struct {
        const char *name;
        const char *help;
        const Counter &counter;
    } counters[] = {
        {"ambrix_login_guessing_holds_total", "Client addresses or users held back after too many wrong passwords.",
         guessingHolds},
        {"ambrix_uploads_total", "Files uploaded.", uploads},
        {"ambrix_upload_bytes_total", "Bytes of uploaded files.", uploadBytes},
        {"ambrix_relays_total", "Messages relayed to a control channel.", relays},
        {"ambrix_control_clients_dropped_total", "Control channels dropped because they did not answer a relay.",
         droppedControlClients},
        {"ambrix_db_pool_borrow_waits_total", "Requests that waited for a database connection to come free.",
         poolBorrowWaits},
        {"ambrix_db_pool_borrow_timeouts_total", "Requests that found no database connection in time.",
         poolBorrowTimeouts},
        {"ambrix_db_failovers_total", "Moves of new database connections to another host of the list.",
         poolFailovers},
    };
    for (const auto &c : counters) {
        writeHeader(out, c.name, "counter", c.help);
        out += QByteArray(c.name) + ' ' + QByteArray::number(c.counter.value()) + '\n';
    }
    out += gauge("ambrix_clients_logged_in", "Client connections logged in.", double(loggedIn.value()));
    return out;
}
