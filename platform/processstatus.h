#pragma once

#include <QtGlobal>

// This process's own figures, as the usual process_ series of a scrape report them; read afresh
// on every call, zero where they cannot be read.
namespace ProcessStatus {

struct Figures {
    double cpuSeconds = 0;       // user and system time
    quint64 residentBytes = 0;
    quint64 virtualBytes = 0;
    quint64 openDescriptors = 0;
    quint64 maxDescriptors = 0;
    quint64 threads = 0;
    double startTimeSeconds = 0; // since the epoch
};
Figures read();

} // namespace ProcessStatus
