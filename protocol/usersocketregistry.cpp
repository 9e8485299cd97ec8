#include "protocol/usersocketregistry.h"

#include <QMutexLocker>

UserSocketRegistry &UserSocketRegistry::instance()
{
    // Never destroyed: detached connection threads may use it while the process exits.
    static UserSocketRegistry *registry = new UserSocketRegistry;
    return *registry;
}

void UserSocketRegistry::add(const QString &userName, const std::shared_ptr<Connection> &socket)
{
    QMutexLocker locker(&lock);
    sockets.insert(userName, socket);
}

std::shared_ptr<Connection> UserSocketRegistry::find(const QString &userName) const
{
    QMutexLocker locker(&lock);
    return sockets.value(userName);
}

bool UserSocketRegistry::remove(const QString &userName)
{
    std::shared_ptr<Connection> removed;
    {
        QMutexLocker locker(&lock);
        removed = sockets.take(userName);
    }
    // The last reference may close the descriptor: do that outside the lock.
    return removed != nullptr;
}

void UserSocketRegistry::removeConnection(const Connection *connection)
{
    QMutexLocker locker(&lock);
    for (auto it = sockets.begin(); it != sockets.end();) {
        if (it->get() == connection)
            it = sockets.erase(it);
        else
            ++it;
    }
}

QStringList UserSocketRegistry::userNames() const
{
    QStringList names;
    {
        QMutexLocker locker(&lock);
        names = sockets.keys();
    }
    names.sort();
    return names;
}
