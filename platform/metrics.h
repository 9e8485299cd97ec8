#pragma once

#include <QList>
#include <QString>

// Memory, disk and processor figures of this machine, read afresh on every call.
namespace Metrics {

// Zero figures when they cannot be read.
struct Memory {
    quint64 total = 0;  // bytes
    quint64 used = 0;   // bytes in use: total less what is available
};
Memory memory();

struct Disk {
    QString root;       // the mount point
    quint64 used = 0;   // bytes
    quint64 total = 0;  // bytes
};
// File systems on fixed disks (no loop, RAM, network or removable devices), one per device at
// its first mount point, in mount order. A file system that cannot be queried is left out.
QList<Disk> fixedDisks();

struct ProcessorTimes {
    bool ok = false;
    quint64 idle = 0;   // clock ticks idle or waiting for I/O, all processors
    quint64 total = 0;  // all clock ticks, all processors
};
ProcessorTimes processorTimes();

} // namespace Metrics
