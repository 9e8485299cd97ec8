#pragma once

#include "platform/accounts.h"

#include <QString>

#include <memory>

// Where the accounts of a request live, decided per request by the server name (LOGONSERVER):
// unset, empty or naming this host, the host's own (Accounts::onHost); naming another host, the
// domain whose controller that host is (DomainAccounts::onController), reached with the
// credentials of the settings, read afresh: a changed password takes effect at once.
namespace AccountStore {

std::unique_ptr<AccountBackend> accountsOf(const QString &server);

} // namespace AccountStore
