#pragma once

#include <QMutex>
#include <QString>

// Opens files and folders inside a user's desktop session through "psexec" (the package's
// launcher, first in the unit's PATH), and keeps the text of every session search, which each
// launch log carries in full.
class SessionLauncher
{
public:
    // The id of the user's session enumerated last, or -1; user names compare without case.
    static int userSessionId(const QString &userName);
    // Replies the path with "/" turned into "\", whatever becomes of the launch.
    static QString openFile(const QString &userName, const QString &path, const QString &extra);

private:
    static SessionLauncher &instance();
    void appendDiagnostic(const QString &line);
    QString diagnosticText() const;

    mutable QMutex mutex;
    QString diagnostics;  // grows for the life of the process; never cleared
};
