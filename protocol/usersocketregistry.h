#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>

class Connection;

// Which connection a control client registered for each user name. In memory only; one
// process-wide instance shared by every connection thread.
class UserSocketRegistry
{
public:
    static UserSocketRegistry &instance();

    // Replaces an earlier registration for the same user.
    void add(const QString &userName, const std::shared_ptr<Connection> &socket);
    std::shared_ptr<Connection> find(const QString &userName) const;
    // False when the user had no registration.
    bool remove(const QString &userName);
    // Drops what an ended connection registered; entries replaced meanwhile stay.
    void removeConnection(const Connection *connection);
    // Sorted, so that error replies list them in a stable order.
    QStringList userNames() const;

private:
    UserSocketRegistry() = default;

    mutable QMutex lock;
    QHash<QString, std::shared_ptr<Connection>> sockets;
};
