#include "dispatch/remoteappservertable.h"

#include <QMutexLocker>

RemoteAppServerTable &RemoteAppServerTable::instance()
{
    // Never destroyed: detached connection threads may use it while the process exits.
    static RemoteAppServerTable *table = new RemoteAppServerTable;
    return *table;
}

QString RemoteAppServerTable::address(const QString &userName) const
{
    QMutexLocker locker(&lock);
    return addresses.value(userName);
}

QString RemoteAppServerTable::port(const QString &userName) const
{
    QMutexLocker locker(&lock);
    return ports.value(userName);
}

void RemoteAppServerTable::set(const QString &userName, const QString &port, const QString &address)
{
    QMutexLocker locker(&lock);
    ports.insert(userName, port);
    addresses.insert(userName, address);
}

void RemoteAppServerTable::remove(const QString &userName)
{
    QMutexLocker locker(&lock);
    ports.remove(userName);
    addresses.remove(userName);
}
