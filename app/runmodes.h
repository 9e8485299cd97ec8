#pragma once

#include <QString>

// The three ways the process runs, each returning the process exit code.
namespace RunModes {

int serve(int argc, char **argv, const QString &port, const QString &address);
int runDialog(int argc, char **argv, const QString &adminUser, const QString &adminPassword);
int runRegistration(const QString &adminUser, const QString &adminPassword);
// The dialog on an existing application object: 0 when it ends accepted, 1 when rejected.
int showInitDialog(const QString &adminUser, const QString &adminPassword);

void stopServingFromSignal();

} // namespace RunModes
