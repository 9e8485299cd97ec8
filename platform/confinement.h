#pragma once

#include <QString>

// How the serving process gives up root before it serves: it becomes the system account
// "ambrix-server" (its own group, no other groups), keeps no capability, can never gain one
// again (no_new_privs), and runs under a system-call filter that allows what serving needs and
// nothing more. Root's work is left to the privileged side (platform/privilegedside.h).
namespace Confinement {

inline constexpr char ServingAccount[] = "ambrix-server";

// Whether the process runs as root and so must give it up.
bool isRoot();

// While still root: makes the files the serving process reads its own to read (the settings file
// and its directory get the account's group) and the directory it downloads media into its own
// to write. False with the reason when the account is missing.
bool prepareFiles(const QString &settingsPath, const QString &mediaDirectory, QString *error);

// While root: the settings file and its directory get the account's group, so that what root
// wrote stays readable to the serving process. False with the reason when the account is missing.
bool shareSettings(const QString &settingsPath, QString *error);

// Becomes the serving account for good, then locks the process down (no capabilities,
// no_new_privs, the system-call filter). Without root, only the lock-down. Must run before the
// process has a thread of its own. False with the reason; the process must not serve then.
bool confine(QString *error);

} // namespace Confinement
