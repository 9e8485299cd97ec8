#include "db/mysqlinfo.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringBuilder>
#include <QtDebug>

#include <atomic>

namespace {

// Socket numbers are reused as soon as a socket closes, while the old thread may still hold its
// connection; the sequence number keeps every registered name unique for the process.
std::atomic<quint64> connectionSequence{0};

QString textOf(const QVariant &value)
{
    return value.isNull() ? QString() : value.toString();
}

} // namespace

MySqlInfo::MySqlInfo(const QString &hostName, int port)
    : hostName(hostName), port(port)
{
}

MySqlInfo::~MySqlInfo()
{
    removeConnection();
}

bool MySqlInfo::openDatabase(const QString &user, const QString &password,
                             const QString &connectionName)
{
    removeConnection();
    registeredName = connectionName + QLatin1Char('#') + QString::number(++connectionSequence);
    db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), registeredName);
    qDebug("Created database");
    db.setHostName(hostName);
    db.setPort(port);
    db.setDatabaseName(QStringLiteral("ambrix"));
    // An unreachable host must not hold a connection thread for minutes.
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=10"));
    qDebug("Trying to open database...");
    const bool opened = db.open(user, password);
    qDebug("done.");
    return opened;
}

void MySqlInfo::closeDatabase()
{
    selectQuery.reset();
    if (db.isValid())
        db.close();
}

bool MySqlInfo::isOpen() const
{
    return db.isOpen();
}

void MySqlInfo::removeConnection()
{
    if (registeredName.isEmpty())
        return;
    selectQuery.reset();
    db.close();
    db = QSqlDatabase(); // the registry refuses to remove a name whose handle is still held
    QSqlDatabase::removeDatabase(registeredName);
    registeredName.clear();
}

QSqlQuery *MySqlInfo::runSelect(const QString &sql)
{
    if (!db.isOpen())
        return nullptr;
    if (!selectQuery) {
        selectQuery = std::make_unique<QSqlQuery>(db);
        selectQuery->setForwardOnly(true);
    }
    return selectQuery->exec(sql) ? selectQuery.get() : nullptr;
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
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (")
                  + columns.join(QLatin1Char(',')) + QStringLiteral(") VALUES(")
                  + placeholders.join(QLatin1Char(',')) + QLatin1Char(')'));
    if (columns.size() != values.size())
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value, QSql::In);
    return query.exec();
}

bool MySqlInfo::updateColumn(const QString &table, const QString &condition, const QString &column,
                             const QString &value)
{
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + column
                      + QLatin1Char('=') + quote(value) + QStringLiteral(" WHERE ") + condition);
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
