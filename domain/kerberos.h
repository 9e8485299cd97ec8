#pragma once

#include <cstdint>
#include <string>

// Kerberos for the helper: password checks and password changes of domain users, and the
// tickets the network-management calls use when the host authenticates with its keytab. The
// KDC is found through the system's Kerberos configuration (KRB5_CONFIG where it is set).
// Every call answers 0 or a Kerberos error code.
namespace Kerberos {

bool start();

// Initial credentials for principal with password, verified against the host's keytab when
// it has one, so that a forged KDC cannot vouch for a password.
std::uint32_t checkPassword(const std::string &principal, const std::string &password);

// The change protocol, authenticated with the old password; a refusal by the server answers
// DomainWire::passwordRefused plus the server's result code.
std::uint32_t changePassword(const std::string &principal, const std::string &oldPassword,
                             const std::string &newPassword);

// The host's keytab, as the server read it for this process (which may not read the host's own):
// kept in this process's private directory and used as the default keytab from now on.
bool useKeytab(const std::string &content);

// Tickets for principal (the host's machine account when empty) from the default keytab, in a
// credential cache of this process that KRB5CCNAME then names. Renewed by calling again.
std::uint32_t obtainTickets(const std::string &principal);
// True while the tickets obtained last are good for a few more minutes.
bool haveFreshTickets();

} // namespace Kerberos
