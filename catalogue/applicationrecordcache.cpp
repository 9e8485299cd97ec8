#include "catalogue/applicationrecordcache.h"

#include <QMutexLocker>

ApplicationRecordCache &ApplicationRecordCache::instance()
{
    // Never destroyed: detached connection threads may still look records up while the
    // process exits.
    static ApplicationRecordCache *cache = new ApplicationRecordCache;
    return *cache;
}

std::shared_ptr<ApplicationRecordCache::Flight> ApplicationRecordCache::joinFlight(Flights &flights, int id,
                                                                                   QMutexLocker &locker, bool *leads)
{
    std::shared_ptr<Flight> flight = flights.value(id);
    *leads = !flight;
    if (*leads) {
        flight = std::make_shared<Flight>();
        flights.insert(id, flight);
        return flight;
    }
    while (!flight->done)
        flightEnded.wait(locker.mutex());
    return flight;
}

void ApplicationRecordCache::endFlight(Flights &flights, int id, const std::shared_ptr<Flight> &flight)
{
    flight->done = true;
    // A remove() may have let a newer flight of the same id start meanwhile.
    if (flights.value(id) == flight)
        flights.remove(id);
    flightEnded.wakeAll();
}

ApplicationRecord ApplicationRecordCache::record(int id, const Loader &load)
{
    QMutexLocker locker(&lock);
    if (const auto it = records.constFind(id); it != records.constEnd())
        return *it;
    bool leads = false;
    const std::shared_ptr<Flight> flight = joinFlight(recordFlights, id, locker, &leads);
    if (!leads)
        return flight->result;

    locker.unlock();
    ApplicationRecord loaded = load();
    locker.relock();
    flight->result = loaded;
    if (!flight->stale)
        records.insert(id, loaded);
    endFlight(recordFlights, id, flight);
    return loaded;
}

QByteArray ApplicationRecordCache::icon(int id, const Loader &load, const Fetcher &fetch)
{
    const ApplicationRecord known = record(id, load);
    if (known.iconFetched)
        return known.icon;
    QMutexLocker locker(&lock);
    if (const auto it = records.constFind(id); it != records.constEnd() && it->iconFetched)
        return it->icon;
    bool leads = false;
    const std::shared_ptr<Flight> flight = joinFlight(iconFlights, id, locker, &leads);
    if (!leads)
        return flight->result.icon;

    locker.unlock();
    const QByteArray bytes = fetch(known.iconPath);
    locker.relock();
    flight->result.icon = bytes;
    // Kept only with the record it was fetched for, not with one reloaded meanwhile.
    if (const auto it = records.find(id); !flight->stale && it != records.end() && it->iconPath == known.iconPath) {
        it->icon = bytes;
        it->iconFetched = true;
    }
    endFlight(iconFlights, id, flight);
    return bytes;
}

void ApplicationRecordCache::remove(int id)
{
    QMutexLocker locker(&lock);
    records.remove(id);
    // Later lookups start afresh instead of joining work that may predate the change.
    for (Flights *flights : {&recordFlights, &iconFlights}) {
        if (const std::shared_ptr<Flight> flight = flights->take(id))
            flight->stale = true;
    }
}
