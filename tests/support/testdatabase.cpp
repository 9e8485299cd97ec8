#include "testdatabase.h"
#include "testserver.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <QUuid>

TestDatabase::TestDatabase()
    : name(QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    const TestDbParameters p = testDbParameters();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(p.host);
    db.setPort(p.port);
    db.setDatabaseName(QStringLiteral("ambrix"));
    if (!db.open(p.user, p.password))
        error = db.lastError().text();
}

TestDatabase::~TestDatabase()
{
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

bool TestDatabase::exec(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(name, false));
    if (!q.exec(sql)) {
        error = q.lastError().text();
        return false;
    }
    return true;
}

bool TestDatabase::execAll(const QStringList &statements)
{
    for (const QString &sql : statements) {
        if (!exec(sql)) {
            error = sql + QStringLiteral(": ") + error;
            return false;
        }
    }
    return true;
}

void TestDatabase::removeRows(const QStringList &tables, qint64 first, qint64 last)
{
    for (const QString &table : tables) {
        exec(QStringLiteral("DELETE FROM %1 WHERE %2 BETWEEN %3 AND %4")
                 .arg(table.section(' ', 0, 0), table.section(' ', 1).isEmpty() ? QStringLiteral("id")
                                                                                : table.section(' ', 1))
                 .arg(first).arg(last));
    }
}

QList<QStringList> TestDatabase::rows(const QString &sql)
{
    QList<QStringList> result;
    QSqlQuery q(QSqlDatabase::database(name, false));
    if (!q.exec(sql)) {
        error = q.lastError().text();
        return result;
    }
    const int n = q.record().count();
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < n; ++i)
            row << (q.value(i).isNull() ? QString() : q.value(i).toString());
        result << row;
    }
    return result;
}

QString TestDatabase::value(const QString &sql)
{
    const QList<QStringList> r = rows(sql);
    return r.isEmpty() || r.first().isEmpty() ? QString() : r.first().first();
}
