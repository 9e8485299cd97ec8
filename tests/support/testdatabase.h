#pragma once

#include <QHash>
#include <QList>
#include <QStringList>

// A direct connection to the test database, for fixtures and for checking what the server wrote.
class TestDatabase
{
public:
    TestDatabase();
    ~TestDatabase(); // removes the rows of every fixture loaded

    bool exec(const QString &sql);
    // Runs the statements in order, false at the first failure (named in lastError()).
    bool execAll(const QStringList &statements);
    // Rows of tests/fixtures/NAME.sql, where "{KEY}" stands for vars[KEY]. The file's DELETE
    // statements come first and remove them again, so a load after a crashed run still works.
    bool load(const QString &name, const QHash<QString, QString> &vars = {});
    QString lastError() const { return error; }
    QList<QStringList> rows(const QString &sql);
    QString value(const QString &sql); // first column of the first row, or a null text

private:
    QString name;
    QString error;
    QStringList cleanup;
};
