#pragma once

#include <QCoreApplication>
#include <QString>

// Command-line option lookup. Complaints are kept in one process-wide text that the process
// entry reports in serving mode only.
class Options
{
    Q_DECLARE_TR_FUNCTIONS(Options)

public:
    static QString lookup(int argc, char **argv, const char *longName, const char *shortName,
                          const QString &defaultValue);
    static QString errorText();
    static void printUsage(const char *programPath);
};
