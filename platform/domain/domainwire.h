#pragma once

#include "platform/wire.h"

// The messages between the server and its domain helper (ambrix-domain), framed as platform/wire.h
// says.
namespace DomainWire {

using namespace Wire;

// A password change the server refused (its password policy, for one) answers this plus the
// server's result code; a failed authentication with the old password answers a Kerberos error
// code, which never lies in this range.
inline constexpr std::uint32_t passwordRefused = 0x10000;

} // namespace DomainWire
