#pragma once

#include "platform/databaseconnection.h"

#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QWaitCondition>

#include <memory>
#include <utility>
#include <vector>

// Where and as whom the catalogue database is reached. Each distinct value has its own pool.
struct MySqlTarget {
    QString addresses; // "host[:port]" entries separated by ",", tried in this order
    int port = 3306;   // the port of entries that name none
    QString user;
    QString password;

    bool operator==(const MySqlTarget &other) const
    {
        return addresses == other.addresses && port == other.port && user == other.user
               && password == other.password;
    }
    bool operator!=(const MySqlTarget &other) const { return !(*this == other); }
};

struct MySqlHost {
    QString name;
    int port = 3306;
};

// "db1, db2:3307" with default port 3306 gives db1:3306 and db2:3307. Empty entries are skipped;
// an entry with more than one ":" (an IPv6 address) is a host name as it stands, and so is one
// whose text after ":" is no port number.
QList<MySqlHost> parseHostList(const QString &addresses, int defaultPort);

// A connection-level failure: the connection is unusable, whatever the statement was.
bool isConnectionFailure(const QSqlError &error);
// A connection-level failure that proves the statement never ran on the server: it was refused
// before execution or could not even be sent. Only such a failed write may be sent again.
bool provesNotExecuted(const QSqlError &error);

// One open connection of a pool. A request borrows it, uses it from its own thread, and gives
// it back; nobody else touches it meanwhile.
class MySqlConnection
{
public:
    ~MySqlConnection();
    MySqlConnection(const MySqlConnection &) = delete;
    MySqlConnection &operator=(const MySqlConnection &) = delete;

    QSqlDatabase database() const { return db; }
    // The selects' statement object, made once per connection: a fresh one for every statement
    // costs about a tenth of what a short select costs this process.
    QSqlQuery &selectQuery();
    // The select prepared on the server once for this connection and kept for the next requests,
    // which send only the values; null when it could not be prepared (error says why).
    DatabaseConnection::PreparedSelect *preparedSelect(const QString &text, QSqlError *error);
    int hostIndex() const { return host; }
    // Without a round trip: the server has not closed it meanwhile.
    bool looksAlive() const;

private:
    friend class MySqlPool;
    MySqlConnection() = default;

    QSqlDatabase db;
    QString registeredName;
    std::unique_ptr<QSqlQuery> select;
    // A few hot statements, looked up by their text.
    std::vector<std::pair<QString, std::unique_ptr<DatabaseConnection::PreparedSelect>>> prepared;
    int host = 0;
};

// The process-wide pool of connections to one target. Connections are opened on demand, lent
// for one request at a time and kept open between requests, never more than the size the last
// borrower asked for. New connections go to the first host of the list that answers; after a
// host failed, the pool stays on the later one and goes back only once the earlier host has
// answered a check again (made from a thread of its own, every few seconds).
class MySqlPool : public std::enable_shared_from_this<MySqlPool>
{
public:
    // The pool for target. Asking for another target than last time retires the old pool: its
    // idle connections close now, lent ones when they come back.
    static std::shared_ptr<MySqlPool> forTarget(const MySqlTarget &target);

    ~MySqlPool();

    // A checked, open connection, or null when none could be opened (no host answers) or none
    // came free within timeoutMs while size connections were lent.
    std::unique_ptr<MySqlConnection> borrow(int size, int timeoutMs);
    // Back into the pool; failed: it broke at the connection level and is closed instead.
    void giveBack(std::unique_ptr<MySqlConnection> connection, bool failed = false);

    const MySqlTarget &target() const { return poolTarget; }
    int openConnections() const;
    int preferredHost() const;
    // Replaced by a pool for other settings: it lends nothing any more.
    bool isRetired() const;

    // The pool in use, as the metrics and the service status show it.
    struct Figures {
        bool used = false;      // a connection was opened, or could not be, since the start
        bool reachable = false; // the last attempt to open a connection found a host
        int inUse = 0;
        int idle = 0;
        int host = 0;           // the host new connections go to: its place in the list, from 0
    };
    static Figures currentFigures();

private:
    explicit MySqlPool(const MySqlTarget &target);

    std::unique_ptr<MySqlConnection> open(int hostIndex) const;
    std::unique_ptr<MySqlConnection> openOnFirstAnsweringHost();
    bool isFitToLend(MySqlConnection &connection) const;
    void retire();
    void moveTo(int hostIndex);
    void watchEarlierHosts();
    void close(std::vector<std::unique_ptr<MySqlConnection>> connections);

    const MySqlTarget poolTarget;
    QList<MySqlHost> hosts; // set once, by the constructor

    mutable QMutex lock;
    QWaitCondition freed;
    std::vector<std::unique_ptr<MySqlConnection>> idle; // most recently used last
    int total = 0;      // idle, lent and being opened
    int limit = 16;
    int preferred = 0;  // the host new connections go to
    bool retired = false;
    bool watching = false;
    qint64 allHostsFailedAtMs = -1;
    bool opened = false; // a connection was ever opened
};
