#include "catalogue/applicationrecordcache.h"

#include <QMutexLocker>

ApplicationRecordCache &ApplicationRecordCache::instance()
{
    // Never destroyed: detached connection threads may still look records up while the
    // process exits.
    static ApplicationRecordCache *cache = new ApplicationRecordCache;
    return *cache;
}

std::optional<ApplicationRecord> ApplicationRecordCache::find(int id) const
{
    QMutexLocker locker(&lock);
    const auto it = records.constFind(id);
    if (it == records.constEnd())
        return std::nullopt;
    return *it;
}

quint64 ApplicationRecordCache::generation() const
{
    QMutexLocker locker(&lock);
    return removals;
}

bool ApplicationRecordCache::store(const ApplicationRecord &record, quint64 generation)
{
    QMutexLocker locker(&lock);
    if (generation != removals)
        return false;
    records.insert(record.id, record);
    return true;
}

void ApplicationRecordCache::remove(int id)
{
    QMutexLocker locker(&lock);
    // Counted even when the id is not cached: a load of it may be under way.
    ++removals;
    records.remove(id);
}
