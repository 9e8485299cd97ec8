#pragma once

#include <QString>

// Opening a file or folder in a user's desktop session through "psexec" (the package's launcher,
// found through PATH), with the launch log beside the object.
namespace Launch {

// Starts psexec for the user's session (-1 when the user has none that an ordinary account of
// that name holds) with the path and, when not empty, the extra argument, and returns that
// session id. The launch log (the command line and this search's session lines) is written
// beside the object as the session's holder, never as root and never through a link, and only
// beside an object that exists for that holder.
int openInSession(const QString &userName, const QString &path, const QString &extra);

} // namespace Launch
