#include "db/mysqlinfo.h"
#include "base/log.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringBuilder>
#include <QtDebug>

namespace {

QString textOf(const QVariant &value)
{
    return value.isNull() ? QString() : value.toString();
}

} // namespace

MySqlInfo::MySqlInfo(const QString &hostName, int port)
{
    source = [hostName, port] {
        PoolSettings s;
        s.target.addresses = hostName;
        s.target.port = port;
        return s;
    };
}

MySqlInfo::MySqlInfo(SettingsSource source)
    : source(std::move(source))
{
}

MySqlInfo::~MySqlInfo()
{
    dropConnection(false);
}

bool MySqlInfo::openDatabase(const QString &user, const QString &password)
{
    const SettingsSource fixed = source;
    source = [fixed, user, password] {
        PoolSettings s = fixed();
        s.target.user = user;
        s.target.password = password;
        return s;
    };
    restartRequest(false);
    holdsUntilClosed = true;
    AX_DEBUG("Created database");
    AX_DEBUG("Trying to open database...");
    const bool opened = connection() != nullptr;
    AX_DEBUG("done.");
    return opened;
}

void MySqlInfo::closeDatabase()
{
    endRequest();
    // A closed object answers nothing, as before it was opened.
    unavailable = holdsUntilClosed;
}

bool MySqlInfo::isOpen()
{
    return connection() != nullptr;
}

MySqlConnection *MySqlInfo::connection()
{
    if (lease)
        return lease.get();
    if (unavailable)
        return nullptr;
    const PoolSettings s = source();
    pool = MySqlPool::forTarget(s.target);
    lease = pool->borrow(s.size, s.borrowTimeoutMs);
    if (!lease && pool->isRetired()) {
        // Another thread changed to newer settings meanwhile: their pool lends.
        pool = MySqlPool::forTarget(source().target);
        lease = pool->borrow(s.size, s.borrowTimeoutMs);
    }
    if (!lease) {
        // Statements already answered would make a partial result of this request.
        broken = broken || ranStatement;
        unavailable = true;
        return nullptr;
    }
    wroteOnLease = false;
    return lease.get();
}

void MySqlInfo::dropConnection(bool failed)
{
    if (lease)
        pool->giveBack(std::move(lease), failed);
}

bool MySqlInfo::needsRerun() const
{
    return broken && !wrote;
}

void MySqlInfo::restartRequest(bool unavailableNow)
{
    dropConnection(false);
    ranStatement = wroteOnLease = wrote = broken = false;
    unavailable = unavailableNow;
}

void MySqlInfo::endRequest()
{
    restartRequest(false);
}

bool MySqlInfo::retryAfterFailure(bool statementIsRead, bool provenNotRun, bool alreadyRetried)
{
    dropConnection(true);
    if (!provenNotRun && !statementIsRead)
        wrote = true; // it may have run: never sent again, and the request never runs again
    // A read that follows a write may depend on that connection (the id the write made).
    const bool mayRetry = !alreadyRetried && (provenNotRun || (statementIsRead && !wroteOnLease));
    if (mayRetry)
        return true;
    broken = broken || ranStatement;
    unavailable = true;
    return false;
}

QSqlQuery *MySqlInfo::runSelect(const QString &sql)
{
    for (bool retried = false;; retried = true) {
        MySqlConnection *c = connection();
        if (!c)
            return nullptr;
        QSqlQuery &query = c->selectQuery();
        if (query.exec(sql)) {
            ranStatement = true;
            return &query;
        }
        if (!retrySelect(query.lastError(), retried))
            return nullptr;
    }
}

bool MySqlInfo::runPrepared(const QString &sql, const QStringList &values, QStringList *firstColumn)
{
    for (bool retried = false;; retried = true) {
        MySqlConnection *c = connection();
        if (!c)
            return false;
        QSqlError error;
        DatabaseConnection::PreparedSelect *select = c->preparedSelect(sql, &error);
        if (select) {
            firstColumn->clear();
            if (select->run(values, firstColumn)) {
                ranStatement = true;
                return true;
            }
            error = QSqlError(QString(), select->errorText(), QSqlError::StatementError,
                              QString::number(select->errorCode()));
        }
        if (!retrySelect(error, retried))
            return false;
    }
}

bool MySqlInfo::retrySelect(const QSqlError &error, bool retried)
{
    if (!isConnectionFailure(error)) {
        ranStatement = true;
        return false;
    }
    AX_DEBUG("Database connection failed: %s", qUtf8Printable(error.text()));
    return retryAfterFailure(true, provesNotExecuted(error), retried);
}

bool MySqlInfo::runWrite(const std::function<bool(QSqlQuery &, QSqlError *, bool *)> &statement)
{
    for (bool retried = false;; retried = true) {
        MySqlConnection *c = connection();
        if (!c)
            return false;
        if (!c->looksAlive()) {
            // Nothing was sent on it: the write goes on a fresh connection as if it were the first.
            dropConnection(true);
            continue;
        }
        QSqlError error;
        bool provenNotRun = false;
        bool ok;
        {
            QSqlQuery query(c->database());
            ok = statement(query, &error, &provenNotRun);
        }
        if (ok) {
            ranStatement = wrote = wroteOnLease = true;
            return true;
        }
        if (!isConnectionFailure(error))
            return false;
        AX_DEBUG("Database connection failed: %s", qUtf8Printable(error.text()));
        if (!retryAfterFailure(false, provenNotRun || provesNotExecuted(error), retried))
            return false;
    }
}

QStringList MySqlInfo::selectColumn(const QString &table, const QString &column,
                                    const QString &condition)
{
    QStringList result;
    QSqlQuery *query = runSelect(QLatin1String("SELECT ") % column % QLatin1String(" FROM ") % table
                                 % QLatin1String(" WHERE ") % condition);
    if (!query)
        return result;
    while (query->next())
        result.append(textOf(query->value(0)));
    return result;
}

QStringList MySqlInfo::selectColumn(const QString &table, const QString &column,
                                    const QString &condition, const QStringList &values)
{
    QStringList result;
    if (!runPrepared(QLatin1String("SELECT ") % column % QLatin1String(" FROM ") % table
                         % QLatin1String(" WHERE ") % condition,
                     values, &result))
        result.clear();
    return result;
}

QStringList MySqlInfo::selectRow(const QString &table, const QString &condition,
                                 const QStringList &columns)
{
    QStringList result;
    QSqlQuery *query = runSelect(QLatin1String("SELECT ") % columns.join(QLatin1Char(','))
                                 % QLatin1String(" FROM ") % table % QLatin1String(" WHERE ") % condition);
    if (!query || !query->next())
        return result;
    for (int i = 0; i < columns.size(); ++i)
        result.append(textOf(query->value(i)));
    return result;
}

QList<QStringList> MySqlInfo::queryRows(const QString &sql, const QStringList &columnNames)
{
    QList<QStringList> rows;
    QSqlQuery *query = runSelect(sql);
    if (!query)
        return rows;
    const int n = columnNames.size();
    const int available = query->record().count();
    while (query->next()) {
        QStringList row;
        row.reserve(n);
        // A name beyond the result's columns reads as an empty text.
        for (int i = 0; i < n; ++i)
            row.append(i < available ? textOf(query->value(i)) : QString());
        rows.append(row);
    }
    return rows;
}

bool MySqlInfo::insertRow(const QString &table, const QStringList &columns,
                          const QList<QVariant> &values)
{
    QStringList placeholders;
    placeholders.reserve(columns.size());
    for (const QString &column : columns)
        placeholders.append(QLatin1Char(':') + column);
    const QString text = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (")
                         + columns.join(QLatin1Char(',')) + QStringLiteral(") VALUES(")
                         + placeholders.join(QLatin1Char(',')) + QLatin1Char(')');
    // A count mismatch runs nothing.
    return runBound(text, values, columns.size() == values.size());
}

bool MySqlInfo::updateColumn(const QString &table, const QString &condition, const QString &column,
                             const QString &value)
{
    const QString text = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + column
                         + QStringLiteral("=? WHERE ") + condition;
    return runBound(text, {value}, true);
}

bool MySqlInfo::runBound(const QString &text, const QList<QVariant> &values, bool valuesFit)
{
    return runWrite([&](QSqlQuery &query, QSqlError *error, bool *provenNotRun) {
        if (!query.prepare(text)) {
            *error = query.lastError();
            *provenNotRun = true; // only prepared so far
            return false;
        }
        if (!valuesFit)
            return false;
        for (const QVariant &value : values)
            query.addBindValue(value, QSql::In);
        if (query.exec())
            return true;
        *error = query.lastError();
        return false;
    });
}

QString MySqlInfo::quote(const QString &value)
{
    QString out;
    out.reserve(value.size() + 10);
    out += QLatin1Char('\'');
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\'': out += QLatin1String("''"); break; // doubled quote works in every SQL mode
        case '\\': out += QLatin1String("\\\\"); break;
        case 0: out += QLatin1String("\\0"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case 0x1a: out += QLatin1String("\\Z"); break;
        default: out += c;
        }
    }
    out += QLatin1Char('\'');
    return out;
}
