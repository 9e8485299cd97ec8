#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

// The remote application server chosen per user name, shared by every connection of that user.
// Kept in memory only.
class RemoteAppServerTable
{
public:
    static RemoteAppServerTable &instance();

    QString address(const QString &userName) const;
    QString port(const QString &userName) const;
    void set(const QString &userName, const QString &port, const QString &address);
    void remove(const QString &userName);

private:
    RemoteAppServerTable() = default;

    mutable QMutex lock;
    QHash<QString, QString> addresses;
    QHash<QString, QString> ports;
};
