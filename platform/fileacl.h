#pragma once

#include <QString>

// Folder permissions as access lists.
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

} // namespace FileAcl
