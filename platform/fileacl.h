#pragma once

#include <QFileDevice>
#include <QString>

class DirectoryHandle;

// Folder permissions as access lists, and who owns a file.
namespace FileAcl {

enum class Result {
    Applied,
    NotBuilt,   // no list could be made for the account (an identifier this host cannot map)
    NotApplied, // the folder is missing, is a symbolic link, or refused the list
};

// Replaces the folder's access list by one granting full access to the account with the
// security identifier sid alone (besides the folder's owner). A symbolic link at path is
// refused, never followed.
Result grantExclusiveAccess(const QString &path, const QString &sid);
// The same on a directory already open, wherever its name now leads.
Result grantExclusiveAccess(const DirectoryHandle &directory, const QString &sid);

// Gives the open file to the user with the security identifier userSid and to the group with
// groupSid (as Accounts::lookupAccount reports them). Applied to the open descriptor, so a name
// swapped meanwhile cannot redirect it.
Result giveToAccount(QFileDevice &file, const QString &userSid, const QString &groupSid);

} // namespace FileAcl
