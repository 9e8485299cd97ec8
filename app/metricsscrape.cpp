#include "app/metricsscrape.h"

#include "base/servermetrics.h"
#include "db/mysqlpool.h"
#include "dispatch/commandtable.h"
#include "net/connectionthread.h"
#include "platform/processstatus.h"
#include "protocol/usersocketregistry.h"

namespace {

template <typename Row>
void listRows(const QList<const Row *> &rows, QList<const void *> *keys, QList<QByteArray> *names)
{
    for (const Row *row : rows) {
        keys->append(row);
        names->append(QByteArray(row->name));
    }
}

} // namespace

namespace MetricsScrape {

void declareCommands()
{
    QList<const void *> keys;
    QList<QByteArray> names;
    listRows(CommandTable::allRows(), &keys, &names);
    listRows(CommandTable::allByteArrayRows(), &keys, &names);
    ServerMetrics::instance().declareCommands(keys, names);
}

QByteArray text()
{
    using M = ServerMetrics;
    QByteArray out = M::instance().exposition();
    out += M::gauge("ambrix_clients_connected", "Client connections being served.",
                    ConnectionThread::liveConnections());
    out += M::gauge("ambrix_control_channels", "Connections registered as a user's control channel.",
                    UserSocketRegistry::instance().userNames().size());

    const MySqlPool::Figures pool = MySqlPool::currentFigures();
    out += "# HELP ambrix_db_pool_connections Open connections of the catalogue database's pool.\n"
           "# TYPE ambrix_db_pool_connections gauge\n"
           "ambrix_db_pool_connections{state=\"in_use\"} " + QByteArray::number(pool.inUse) + "\n"
           "ambrix_db_pool_connections{state=\"idle\"} " + QByteArray::number(pool.idle) + '\n';
    out += M::gauge("ambrix_db_host_index",
                    "The database host new connections go to: its place in MySqlServerAddress, from 0.", pool.host);
    // No sample before the first request: nothing is known of the database yet.
    out += "# HELP ambrix_db_up Whether the last attempt to open a database connection found a host.\n"
           "# TYPE ambrix_db_up gauge\n";
    if (pool.used)
        out += "ambrix_db_up " + QByteArray(pool.reachable ? "1" : "0") + '\n';
    out += "# HELP ambrix_build_info The server's version.\n# TYPE ambrix_build_info gauge\n"
           "ambrix_build_info{version=\"" AMBRIX_VERSION "\"} 1\n";

    const ProcessStatus::Figures process = ProcessStatus::read();
    out += M::gauge("ambrix_threads", "Threads of the serving process.", double(process.threads));
    out += "# HELP process_cpu_seconds_total Total user and system CPU time spent in seconds.\n"
           "# TYPE process_cpu_seconds_total counter\nprocess_cpu_seconds_total "
           + QByteArray::number(process.cpuSeconds, 'g', 12) + '\n';
    out += M::gauge("process_open_fds", "Number of open file descriptors.", double(process.openDescriptors));
    out += M::gauge("process_max_fds", "Maximum number of open file descriptors.", double(process.maxDescriptors));
    out += M::gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.", double(process.virtualBytes));
    out += M::gauge("process_resident_memory_bytes", "Resident memory size in bytes.",
                    double(process.residentBytes));
    out += M::gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
                    process.startTimeSeconds);
    return out;
}

} // namespace MetricsScrape
