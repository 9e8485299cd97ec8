#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The platform's own programs at their fixed paths. Under the service manager they run as
// transient units of their own, outside this service's sandbox, so that what they mount is the
// host's (a user's session must see it); started by hand, as children.
namespace HostPrograms {

// The exit code as replies report it (Programs::exitCodeOf). The credentials reach the program
// in a file only root can read, removed once it ends.
int mountChroot(const QStringList &arguments, const QString &user, const QString &password);
// Started, not waited for: true when it could be started.
bool umountChroot(const QString &argument);

// Any program of the package, started and not waited for, the same way: under the service
// manager outside this service's sandbox (and its control group, so that it outlives a restart).
bool startDetached(const QString &program, const QStringList &arguments);
int managePrinters(const QStringList &arguments);

struct CloudRun {
    bool succeeded = false;
    QByteArray standardOutput;
};
// With startThenFinish, up to 30 s for the start and then 30 s for the end; otherwise 30 s in all.
CloudRun manageCloud(const QStringList &arguments, bool startThenFinish);

} // namespace HostPrograms
