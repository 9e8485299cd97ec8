#pragma once

// Folder permissions as access lists.
namespace FileAcl {

enum class Result {
    Applied,
    NotBuilt,   // no list could be made for the account
    NotApplied, // the folder is missing, or refused the list
};

// Replaces the access list of the open directory by one granting full access to the user uid
// alone (besides the directory's owner): group and others get nothing.
Result grantExclusiveAccess(int directory, unsigned uid);

} // namespace FileAcl
