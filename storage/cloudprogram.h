#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs of the cloud-drive program "/usr/bin/managecloud" of the "ambrix-cloudfs" package:
// user, provider, action and, for some actions, one more argument.
namespace CloudProgram {

struct Run {
    // Ran, ended within its waits and exited normally with code 0.
    bool succeeded = false;
    // What it wrote, when it ended normally within its waits.
    QByteArray standardOutput;
};

enum class Waits {
    StartThenFinish, // up to 30 s for the start, then up to 30 s for the end
    FinishOnly,      // up to 30 s for the whole run
};

bool isInstalled();

// Arguments come from requests; one that would read as an option is not run at all.
Run run(const QStringList &arguments, Waits waits = Waits::StartThenFinish);

} // namespace CloudProgram
