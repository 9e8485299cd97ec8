#pragma once

#include "privileged/beneath.h"
#include "privileged/fileacl.h"

#include <QList>
#include <QString>

// Users' profile folders: the folder named after the user inside a base folder, which must lie
// within the operator's folder roots (UserFolderRoots). Base folders are the users' own ground:
// every step walks down from the root's descriptor, never by path.
namespace UserFolders {

// A path within a folder root, lexically ("." and ".." refused): where an account's home may be.
bool isWithinRoots(const QString &path);

struct Creation {
    bool allowed = false;       // a plain user name and a base folder within a root
    QString path;               // of the folder, as the kernel names it (no link on the way)
    quint32 lookupStatus = 0;   // NetStatus of the account's lookup: no access list without it
    QList<FileAcl::Result> acls; // each sub-folder, then the folder itself
    quint32 shareStatus = 0;    // NetStatus of the share
};
// Creates the folder and its sub-folders (existing ones are fine), gives the account alone
// access to them, and shares the folder (never a link or anything else found in its place).
Creation create(const QString &user, const QString &baseFolder);

struct Removal {
    bool allowed = false;
    quint32 shareStatus = 0; // NetStatus of the share's removal
};
// Removes the share, then the folder with everything in it (even when the share could not go).
Removal remove(const QString &user, const QString &baseFolder);

} // namespace UserFolders
