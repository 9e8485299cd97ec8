#pragma once

#include "db/mysqlpool.h"

#include <QList>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

// The catalogue database "ambrix" as one caller sees it, used only by the thread that made it.
// Statements run on a connection borrowed from the process-wide pool (db/mysqlpool.h) at the
// first statement of a request and kept for the rest of it, so that what depends on one
// connection holds within a request. Conditions are SQL fragments written by the caller; every
// text value a caller puts into one goes through quote(), every number is converted with
// QString::number first.
//
// A statement that meets a broken connection is sent once more on a fresh connection when it
// is a read, or a write the server provably never ran. runRequest() keeps a request that lost
// its connection midway from answering half of what it read.
class MySqlInfo
{
public:
    struct PoolSettings {
        MySqlTarget target;
        int size = 16;
        int borrowTimeoutMs = 5000;
    };
    using SettingsSource = std::function<PoolSettings()>;

    // One fixed target; openDatabase() supplies the user and borrows at once.
    MySqlInfo(const QString &hostName, int port);
    // A client connection's: the settings are read from source at every borrow, so a change
    // reaches the next request. Nothing is borrowed before a statement needs it.
    explicit MySqlInfo(SettingsSource source);
    ~MySqlInfo();
    MySqlInfo(const MySqlInfo &) = delete;
    MySqlInfo &operator=(const MySqlInfo &) = delete;

    // Borrows a connection and keeps it until closeDatabase(); false when none could be had,
    // and every statement then fails. Pooled connections carry names of their own.
    bool openDatabase(const QString &user, const QString &password);
    void closeDatabase();
    // Whether this request holds a connection or the pool can lend one now (which it then
    // keeps for the rest of the request).
    bool isOpen();

    QStringList selectColumn(const QString &table, const QString &column, const QString &condition);
    // The same with the condition's "?" placeholders bound to values in order: for the hot
    // statements, prepared on the server once per pooled connection and text.
    QStringList selectColumn(const QString &table, const QString &column, const QString &condition,
                             const QStringList &values);
    QStringList selectRow(const QString &table, const QString &condition, const QStringList &columns);
    QList<QStringList> queryRows(const QString &sql, const QStringList &columnNames);
    bool insertRow(const QString &table, const QStringList &columns, const QList<QVariant> &values);
    bool updateColumn(const QString &table, const QString &condition, const QString &column,
                      const QString &value);

    // Runs the handling of one request and gives its connection back afterwards. When the
    // connection failed midway and the request only read, it runs again on a fresh connection;
    // failing midway once more, it runs a last time with the database unavailable, so that it
    // answers what a failed query answers rather than a partial result.
    template <typename Handle>
    auto runRequest(Handle handle) -> decltype(handle())
    {
        auto reply = handle();
        for (int run = 1; run <= 2 && needsRerun(); ++run) {
            restartRequest(run == 2);
            reply = handle();
        }
        endRequest();
        return reply;
    }
    // The connection goes back to the pool; the next statement borrows again.
    void endRequest();

    // The whole MariaDB string literal for value, quotes included: "name=" + quote(name).
    // The only way a text value enters SQL text.
    static QString quote(const QString &value);

private:
    MySqlConnection *connection();
    void dropConnection(bool failed);
    bool needsRerun() const;
    void restartRequest(bool unavailable);
    QSqlQuery *runSelect(const QString &sql);
    // runSelect() for a prepared select: false when it failed.
    bool runPrepared(const QString &sql, const QStringList &values, QStringList *firstColumn);
    // After a select failed with error: whether to send it once more on a fresh connection.
    bool retrySelect(const QSqlError &error, bool retried);
    // statement runs one write on the query given; on failure it fills the error and tells
    // whether the failure proves the server never ran it.
    bool runWrite(const std::function<bool(QSqlQuery &, QSqlError *, bool *)> &statement);
    // Prepares text and runs it with values bound in order; with valuesFit false it is only
    // prepared.
    bool runBound(const QString &text, const QList<QVariant> &values, bool valuesFit);
    // After a connection-level failure of a statement: drops the connection and tells whether
    // the statement may go once more on a fresh one.
    bool retryAfterFailure(bool statementIsRead, bool provenNotRun, bool alreadyRetried);

    SettingsSource source;
    std::shared_ptr<MySqlPool> pool;
    std::unique_ptr<MySqlConnection> lease;
    bool holdsUntilClosed = false;

    // The state of the current request.
    bool ranStatement = false;   // a statement reached the server
    bool wroteOnLease = false;   // a write ran (or may have run) on the connection held
    bool wrote = false;          // a write ran, or may have run, in this request
    bool broken = false;         // the connection failed after statements had run
    bool unavailable = false;    // no connection: every statement fails at once
};
