#pragma once

#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <memory>

// One named connection to the catalogue database "ambrix", used only by the thread that
// created it. Conditions are SQL fragments written by the caller; every text value a caller puts
// into one goes through quote(), every number is converted with QString::number first.
class MySqlInfo : public QObject
{
    Q_OBJECT

public:
    MySqlInfo(const QString &hostName, int port);
    ~MySqlInfo() override;

    bool openDatabase(const QString &user, const QString &password, const QString &connectionName);
    void closeDatabase();
    bool isOpen() const;

    QStringList selectColumn(const QString &table, const QString &column, const QString &condition);
    QStringList selectRow(const QString &table, const QString &condition, const QStringList &columns);
    QList<QStringList> queryRows(const QString &sql, const QStringList &columnNames);
    bool insertRow(const QString &table, const QStringList &columns, const QList<QVariant> &values);
    bool updateColumn(const QString &table, const QString &condition, const QString &column,
                      const QString &value);

    // The whole MariaDB string literal for value, quotes included: "name=" + quote(name).
    // The only way a text value enters SQL text.
    static QString quote(const QString &value);

private:
    void removeConnection();
    QSqlQuery *runSelect(const QString &sql);

    QSqlDatabase db;
    // The selects' statement object, kept while the connection is open: making a fresh one
    // for every statement costs about a tenth of what a short select costs this process.
    std::unique_ptr<QSqlQuery> selectQuery;
    QString hostName;
    int port;
    QString registeredName;
};
