#pragma once

// The protocol's fixed replies, without a line end: the one a reply gets is added where it is
// sent.
namespace Reply {

inline constexpr char AuthenticationOk[] = "Authentication ok.";
inline constexpr char BadAuthentication[] = "Error: Bad authentication";
inline constexpr char NotInAdminGroup[] = "Error: Not in admin group";
// Sent as it stands, framed by nothing, to a connection that has not logged in.
inline constexpr char NotAuthenticated[] = "Not authenticated";
// An upload's go-ahead and an accepted registration.
inline constexpr char Ok[] = "Ok";
// A control channel closed.
inline constexpr char True[] = "True";

} // namespace Reply
