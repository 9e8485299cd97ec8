#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QStringList>

// A direct connection to the test database, for fixtures and for checking what the server wrote.
class TestDatabase
{
public:
    TestDatabase();
    ~TestDatabase();

    bool exec(const QString &sql);
    // Fixture rows: runs the statements in order, false at the first failure (named in lastError()).
    bool execAll(const QStringList &statements);
    // Removes them again: rows keyed in [first, last] of each table, given as "table" (key id)
    // or "table key".
    void removeRows(const QStringList &tables, qint64 first, qint64 last);
    QString lastError() const { return error; }
    QList<QStringList> rows(const QString &sql);
    QString value(const QString &sql); // first column of the first row, or a null text

private:
    QString name;
    QString error;
};
