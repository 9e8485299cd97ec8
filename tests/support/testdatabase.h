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
    QString lastError() const { return error; }
    QList<QStringList> rows(const QString &sql);
    QString value(const QString &sql); // first column of the first row, or a null text

private:
    QString name;
    QString error;
};
