#pragma once

#include <QString>

// Command-line option lookup. Complaints are kept in one process-wide text that the process
// entry reports in serving mode only.
namespace Options {

QString lookup(int argc, char **argv, const char *longName, const char *shortName,
               const QString &defaultValue);
QString errorText();
void printUsage(const char *programPath);

} // namespace Options
