#pragma once

#include "catalogue/applicationrecord.h"

#include <QHash>
#include <QMutex>
#include <QWaitCondition>

#include <functional>
#include <memory>

// The process-wide application records, filled on first use of an id and dropped per id when
// the console reports a change. A record's icon is fetched only when it is asked for, and is then
// kept with the record. Concurrent misses of one id share one load (and one download): the first
// does the work outside the lock, the others wait for its result. Lookups hand out copies.
class ApplicationRecordCache
{
public:
    using Loader = std::function<ApplicationRecord()>;
    using Fetcher = std::function<QByteArray(const QString &path)>;

    static ApplicationRecordCache &instance();

    // The record of id, without its icon bytes; load() runs on a miss.
    ApplicationRecord record(int id, const Loader &load);
    // The icon bytes of id's record; fetch() runs with the record's icon path when they are not
    // kept yet.
    QByteArray icon(int id, const Loader &load, const Fetcher &fetch);
    // A load or download under way for id still answers those waiting for it, but is not kept.
    void remove(int id);

private:
    struct Flight {
        bool done = false;
        bool stale = false; // removed meanwhile: the result predates the change
        ApplicationRecord result;
    };
    using Flights = QHash<int, std::shared_ptr<Flight>>;

    ApplicationRecordCache() = default;
    // With the lock held: the flight of id someone else started (waited for), or null after
    // starting one in flights for the caller to run.
    std::shared_ptr<Flight> joinFlight(Flights &flights, int id, QMutexLocker &locker, bool *leads);
    void endFlight(Flights &flights, int id, const std::shared_ptr<Flight> &flight);

    QMutex lock;
    QWaitCondition flightEnded;
    QHash<int, ApplicationRecord> records;
    Flights recordFlights;
    Flights iconFlights;
};
