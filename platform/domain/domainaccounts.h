#pragma once

#include "platform/accounts.h"
#include "platform/domain/domainhelper.h"

#include <QString>

#include <memory>

// The users and groups of a domain, managed on its domain controller: the AccountBackend for a
// logon server that is not this host. Every call goes through the helper process (DomainHelper).
//
// Built-in accounts and groups (relative id below 1000: Administrator, krbtgt, Domain Admins,
// ...) and accounts that are not ordinary user accounts (machine and trust accounts) are never
// created over, changed, reset, joined, left or removed: NetStatus::AccessDenied, and nothing
// changes. Listings are not restricted.
namespace DomainAccounts {

// Where the calls go: the controller as LOGONSERVER names it ("\\dc1", a host name or an
// address), and how to authenticate there.
struct Target {
    QString server;
    DomainCredentials credentials;
};

std::unique_ptr<AccountBackend> onController(const Target &target);

} // namespace DomainAccounts
