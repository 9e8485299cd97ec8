#pragma once

#include <QByteArray>

// The text of one scrape of the metrics endpoint: the server's counters and the figures sampled
// now (clients, database pool, the process's own).
namespace MetricsScrape {

// The command tables' rows, once before serving, so that requests count under their names.
void declareCommands();
QByteArray text();

} // namespace MetricsScrape
