#include "db/mysqlpool.h"

#include "base/log.h"
#include "base/servermetrics.h"
#include "platform/databaseconnection.h"

#include <QMutexLocker>
#include <QSqlDriver>
#include <QtDebug>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// An unreachable host must not hold a request for long, nor a server that stopped answering.
const char connectOptions[] =
    "MYSQL_OPT_CONNECT_TIMEOUT=5;MYSQL_OPT_READ_TIMEOUT=10;MYSQL_OPT_WRITE_TIMEOUT=10";
// Statements kept prepared per connection.
constexpr std::size_t maxPrepared = 8;
// How often an earlier host that failed is tried again.
constexpr int earlierHostCheckMs = 2000;
// After every host failed, borrows fail at once for this long instead of each trying them all.
constexpr qint64 allFailedQuietMs = 250;

// Client-side codes of the MariaDB client library and server codes that end a connection.
enum : int {
    ServerShutdown = 1053,     // the server is shutting down
    NodeNotReady = 1047,       // a cluster node that is not part of the primary component
    ConnectionKilled = 1927,
    ClientIdleTimeout = 4031,  // the server closed a connection idle for too long
    CannotConnectLocal = 2002,
    CannotConnect = 2003,
    ServerGone = 2006,         // the command could not be sent
    ServerLost = 2013,         // the connection ended before the reply was read
    ServerLostExtended = 2055,
};

std::atomic<quint64> connectionSequence{0};

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int nativeCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt();
}

QString describe(const MySqlHost &host)
{
    return host.name + QLatin1Char(':') + QString::number(host.port);
}

QMutex &registryLock()
{
    static QMutex *lock = new QMutex; // never destroyed: detached threads may still borrow
    return *lock;
}

std::shared_ptr<MySqlPool> &currentPool()
{
    static auto *pool = new std::shared_ptr<MySqlPool>;
    return *pool;
}

} // namespace

QList<MySqlHost> parseHostList(const QString &addresses, int defaultPort)
{
    QList<MySqlHost> hosts;
    const QStringList entries = addresses.split(QLatin1Char(','));
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        MySqlHost host{entry, defaultPort};
        const int colon = entry.indexOf(QLatin1Char(':'));
        if (colon > 0 && colon == entry.lastIndexOf(QLatin1Char(':'))) {
            bool ok = false;
            const int port = entry.mid(colon + 1).toInt(&ok);
            if (ok && port > 0 && port < 65536)
                host = MySqlHost{entry.left(colon), port};
        }
        hosts.append(host);
    }
    return hosts;
}

bool isConnectionFailure(const QSqlError &error)
{
    switch (nativeCode(error)) {
    case ServerShutdown:
    case NodeNotReady:
    case ConnectionKilled:
    case ClientIdleTimeout:
    case CannotConnectLocal:
    case CannotConnect:
    case ServerGone:
    case ServerLost:
    case ServerLostExtended:
        return true;
    default:
        return false;
    }
}

bool provesNotExecuted(const QSqlError &error)
{
    const int code = nativeCode(error);
    return code == ServerGone || code == NodeNotReady || code == CannotConnect
           || code == CannotConnectLocal;
}

MySqlConnection::~MySqlConnection()
{
    prepared.clear();
    select.reset();
    db.close();
    db = QSqlDatabase(); // the registry refuses to remove a name whose handle is still held
    QSqlDatabase::removeDatabase(registeredName);
}

QSqlQuery &MySqlConnection::selectQuery()
{
    if (!select) {
        select = std::make_unique<QSqlQuery>(db);
        select->setForwardOnly(true);
    }
    return *select;
}

DatabaseConnection::PreparedSelect *MySqlConnection::preparedSelect(const QString &text, QSqlError *error)
{
    for (auto &entry : prepared) {
        if (entry.first == text)
            return entry.second.get();
    }
    auto select = std::make_unique<DatabaseConnection::PreparedSelect>(db.driver()->handle(), text.toUtf8());
    if (!select->isPrepared()) {
        *error = QSqlError(QString(), select->errorText(), QSqlError::StatementError,
                           QString::number(select->errorCode()));
        return nullptr;
    }
    // Callers prepare a handful of fixed texts; a runaway caller must not pile up statements.
    if (prepared.size() >= maxPrepared)
        prepared.erase(prepared.begin());
    prepared.emplace_back(text, std::move(select));
    return prepared.back().second.get();
}

std::shared_ptr<MySqlPool> MySqlPool::forTarget(const MySqlTarget &target)
{
    std::shared_ptr<MySqlPool> old;
    std::shared_ptr<MySqlPool> pool;
    {
        QMutexLocker locker(&registryLock());
        std::shared_ptr<MySqlPool> &current = currentPool();
        if (current && current->poolTarget == target)
            return current;
        old = std::move(current);
        current.reset(new MySqlPool(target));
        pool = current;
    }
    if (old)
        old->retire();
    return pool;
}

MySqlPool::Figures MySqlPool::currentFigures()
{
    std::shared_ptr<MySqlPool> pool;
    {
        QMutexLocker locker(&registryLock());
        pool = currentPool();
    }
    Figures f;
    if (!pool)
        return f;
    QMutexLocker locker(&pool->lock);
    f.used = pool->opened || pool->allHostsFailedAtMs >= 0;
    f.reachable = pool->opened && pool->allHostsFailedAtMs < 0;
    f.idle = int(pool->idle.size());
    f.inUse = pool->total - f.idle;
    f.host = pool->preferred;
    return f;
}

MySqlPool::MySqlPool(const MySqlTarget &target)
    : poolTarget(target), hosts(parseHostList(target.addresses, target.port))
{
    // No host at all is the client library's default, the local server, as it always was.
    if (hosts.isEmpty())
        hosts.append(MySqlHost{QString(), target.port});
}

MySqlPool::~MySqlPool() = default;

int MySqlPool::openConnections() const
{
    QMutexLocker locker(&lock);
    return total;
}

bool MySqlPool::isRetired() const
{
    QMutexLocker locker(&lock);
    return retired;
}

int MySqlPool::preferredHost() const
{
    QMutexLocker locker(&lock);
    return preferred;
}

void MySqlPool::retire()
{
    std::vector<std::unique_ptr<MySqlConnection>> closing;
    {
        QMutexLocker locker(&lock);
        retired = true;
        closing.swap(idle);
        total -= int(closing.size());
        freed.wakeAll();
    }
    close(std::move(closing));
}

void MySqlPool::close(std::vector<std::unique_ptr<MySqlConnection>> connections)
{
    connections.clear(); // outside the lock: closing says goodbye to the server
}

std::unique_ptr<MySqlConnection> MySqlPool::open(int hostIndex) const
{
    const MySqlHost &host = hosts.at(hostIndex);
    std::unique_ptr<MySqlConnection> c(new MySqlConnection);
    c->host = hostIndex;
    c->registeredName = QStringLiteral("ambrix-pool#") + QString::number(++connectionSequence);
    c->db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), c->registeredName);
    c->db.setHostName(host.name);
    c->db.setPort(host.port);
    c->db.setDatabaseName(QStringLiteral("ambrix"));
    c->db.setConnectOptions(QLatin1String(connectOptions));
    AX_DEBUG("Trying to open database on %s...", qUtf8Printable(describe(host)));
    if (!c->db.open(poolTarget.user, poolTarget.password)) {
        AX_DEBUG("Could not open database on %s: %s", qUtf8Printable(describe(host)),
               qUtf8Printable(c->db.lastError().text()));
        return nullptr;
    }
    // A cluster node outside the primary component accepts connections but no statements.
    QSqlQuery &check = c->selectQuery();
    if (!check.exec(QStringLiteral("SELECT 1"))) {
        AX_DEBUG("Database on %s does not take statements: %s", qUtf8Printable(describe(host)),
               qUtf8Printable(check.lastError().text()));
        return nullptr;
    }
    return c;
}

void MySqlPool::moveTo(int hostIndex)
{
    std::vector<std::unique_ptr<MySqlConnection>> closing;
    bool startWatching = false;
    int from;
    {
        QMutexLocker locker(&lock);
        if (preferred == hostIndex || retired)
            return;
        from = preferred;
        preferred = hostIndex;
        ServerMetrics::instance().poolFailovers.add();
        // Back on an earlier host: connections elsewhere are closed as they become free.
        for (auto it = idle.begin(); it != idle.end();) {
            if ((*it)->host != hostIndex) {
                closing.push_back(std::move(*it));
                it = idle.erase(it);
                --total;
            } else {
                ++it;
            }
        }
        if (preferred > 0 && !watching)
            watching = startWatching = true;
    }
    Log::info(QStringLiteral("Catalogue database: new connections go to %1 instead of %2")
                  .arg(describe(hosts.at(hostIndex)), describe(hosts.at(from))));
    close(std::move(closing));
    if (startWatching) {
        std::thread([pool = shared_from_this()] { pool->watchEarlierHosts(); }).detach();
    }
}

void MySqlPool::watchEarlierHosts()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(earlierHostCheckMs));
        int upTo;
        {
            QMutexLocker locker(&lock);
            if (retired || preferred == 0) {
                watching = false;
                return;
            }
            upTo = preferred;
        }
        for (int i = 0; i < upTo; ++i) {
            if (open(i)) {
                moveTo(i);
                break;
            }
        }
    }
}

std::unique_ptr<MySqlConnection> MySqlPool::openOnFirstAnsweringHost()
{
    int start;
    {
        QMutexLocker locker(&lock);
        if (allHostsFailedAtMs >= 0 && nowMs() - allHostsFailedAtMs < allFailedQuietMs)
            return nullptr;
        start = preferred;
    }
    const int n = hosts.size();
    // From the current host onwards; the earlier ones last, since they failed before.
    for (int k = 0; k < n; ++k) {
        const int i = (start + k) % n;
        std::unique_ptr<MySqlConnection> c = open(i);
        if (!c)
            continue;
        bool recovered;
        {
            QMutexLocker locker(&lock);
            recovered = allHostsFailedAtMs >= 0;
            allHostsFailedAtMs = -1;
            opened = true;
        }
        if (recovered)
            Log::info(QStringLiteral("Catalogue database: %1 answers again").arg(describe(hosts.at(i))));
        if (i != start)
            moveTo(i);
        return c;
    }
    bool first;
    {
        QMutexLocker locker(&lock);
        first = allHostsFailedAtMs < 0;
        allHostsFailedAtMs = nowMs();
    }
    if (first) {
        Log::error(QStringLiteral("Catalogue database: no host answers (%1)").arg(poolTarget.addresses));
    }
    return nullptr;
}

bool MySqlConnection::looksAlive() const
{
    return DatabaseConnection::looksAlive(db.driver()->handle());
}

bool MySqlPool::isFitToLend(MySqlConnection &connection) const
{
    // Nothing is sent: a connection the server closed meanwhile shows on its socket, and one that
    // fails later fails its statement, which the borrower sends again on a fresh connection.
    return connection.looksAlive();
}

std::unique_ptr<MySqlConnection> MySqlPool::borrow(int size, int timeoutMs)
{
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    QMutexLocker locker(&lock);
    limit = qMax(1, size);
    for (;;) {
        if (retired)
            break;
        if (!idle.empty()) {
            std::unique_ptr<MySqlConnection> c = std::move(idle.back());
            idle.pop_back();
            locker.unlock();
            if (isFitToLend(*c))
                return c;
            c.reset();
            locker.relock();
            --total;
            continue;
        }
        if (total < limit) {
            ++total;
            locker.unlock();
            std::unique_ptr<MySqlConnection> c = openOnFirstAnsweringHost();
            if (c)
                return c;
            locker.relock();
            --total;
            freed.wakeOne();
            return nullptr;
        }
        ServerMetrics::instance().poolBorrowWaits.add();
        if (!freed.wait(&lock, deadline)) {
            ServerMetrics::instance().poolBorrowTimeouts.add();
            break;
        }
    }
    return nullptr;
}

void MySqlPool::giveBack(std::unique_ptr<MySqlConnection> connection, bool failed)
{
    if (!connection)
        return;
    QMutexLocker locker(&lock);
    if (failed || retired || total > limit || connection->host != preferred) {
        --total;
        freed.wakeOne();
        locker.unlock();
        connection.reset();
        return;
    }
    idle.push_back(std::move(connection));
    freed.wakeOne();
}
