#include "net/prelogincount.h"

#include <QMutexLocker>

PreLoginCount &PreLoginCount::instance()
{
    // Never destroyed: detached connection threads may still end while the process exits.
    static PreLoginCount *count = new PreLoginCount;
    return *count;
}

bool PreLoginCount::tryAdd(const QString &address, int limit)
{
    QMutexLocker locker(&lock);
    int &n = byAddress[address];
    if (n >= limit)
        return false;
    ++n;
    return true;
}

void PreLoginCount::remove(const QString &address)
{
    QMutexLocker locker(&lock);
    const auto it = byAddress.find(address);
    if (it != byAddress.end() && --*it <= 0)
        byAddress.erase(it);
}
