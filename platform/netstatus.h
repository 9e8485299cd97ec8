#pragma once

#include <QtGlobal>

// Status numbers of the account, group and share operations. They are the numbers the console's
// replies have always been keyed on (the network-management codes of the platform's Windows
// servers), so the reply tables stay the same whatever implements the operations.
namespace NetStatus {

enum : quint32 {
    Success = 0,
    AccessDenied = 5,
    NotEnoughMemory = 8,
    InvalidPassword = 86,
    InvalidParameter = 87,
    InvalidLevel = 124,
    MoreData = 234,
    MemberInGroup = 1320,
    MemberNotInGroup = 1321,
    NoneMapped = 1332,
    MembersPrimaryGroup = 1374,
    UnknownDevDir = 2116,
    DuplicateShare = 2118,
    InternalError = 2140,
    BadUsername = 2202,
    GroupNotFound = 2220,
    UserNotFound = 2221,
    GroupExists = 2223,
    UserExists = 2224,
    NotPrimary = 2226,
    SpeGroupOp = 2234,
    PasswordTooShort = 2245,
    NetNameNotFound = 2310,
    InvalidComputer = 2351,
};

} // namespace NetStatus
