#include "testdatabase.h"
#include "testserver.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
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
    execAll(cleanup);
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}

bool TestDatabase::exec(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(name, false));
    if (q.exec(sql))
        return true;
    error = sql + QStringLiteral(": ") + q.lastError().text();
    return false;
}

bool TestDatabase::execAll(const QStringList &statements)
{
    for (const QString &sql : statements) {
        if (!exec(sql))
            return false;
    }
    return true;
}

bool TestDatabase::load(const QString &name, const QHash<QString, QString> &vars)
{
    QString text = QString::fromUtf8(::fixture(name + ".sql"));
    text.remove(QRegularExpression(QStringLiteral("^--.*\\n"), QRegularExpression::MultilineOption));
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        text.replace('{' + it.key() + '}', it.value());
    QStringList statements = text.split(QRegularExpression(QStringLiteral(";\\s*\\n")), Qt::SkipEmptyParts);
    for (QString &sql : statements)
        sql = sql.trimmed();
    statements.removeAll(QString());
    cleanup += statements.filter(QRegularExpression(QStringLiteral("^DELETE ")));
    return !statements.isEmpty() && execAll(statements);
}

QList<QStringList> TestDatabase::rows(const QString &sql)
{
    QList<QStringList> result;
    QSqlQuery q(QSqlDatabase::database(name, false));
    if (!q.exec(sql)) {
        error = q.lastError().text();
        return result;
    }
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < q.record().count(); ++i)
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
