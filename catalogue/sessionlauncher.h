#pragma once

#include <QString>

// Opens files and folders inside a user's desktop session. The privileged side finds the user's
// session, writes the launch log as the session's owner and starts "psexec" (the package's
// launcher, first in the unit's PATH).
class SessionLauncher
{
public:
    // Replies the path with "/" turned into "\", whatever becomes of the launch.
    static QString openFile(const QString &userName, const QString &path, const QString &extra);
};
