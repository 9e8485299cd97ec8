#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

// Connections not logged in yet, per client address: MaxClients is shared by every address, so
// one address must not take all of it before a login. The accept loop adds a connection; its
// thread removes it once it logged in, became a control channel, or ended.
class PreLoginCount
{
public:
    static PreLoginCount &instance();

    // Counts one more for address, unless it has limit already.
    bool tryAdd(const QString &address, int limit);
    void remove(const QString &address);

private:
    PreLoginCount() = default;

    QMutex lock;
    QHash<QString, int> byAddress; // only addresses with a connection counted
};
