#pragma once

#include "catalogue/applicationrecord.h"

#include <QHash>
#include <QMutex>

#include <optional>

// The process-wide application records, filled on first use of an id and dropped per id when
// the console reports a change. Lookups hand out copies; the lock covers the map only.
class ApplicationRecordCache
{
public:
    static ApplicationRecordCache &instance();

    std::optional<ApplicationRecord> find(int id) const;
    // Taken before loading a record; store() refuses a record loaded across a remove().
    quint64 generation() const;
    // False when a remove() happened since generation was taken: the record may predate the
    // change that remove() announced, so it must not answer later lookups.
    bool store(const ApplicationRecord &record, quint64 generation);
    void remove(int id);

private:
    ApplicationRecordCache() = default;

    mutable QMutex lock;
    QHash<int, ApplicationRecord> records;
    quint64 removals = 0;
};
