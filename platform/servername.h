#pragma once

#include <QString>

// The server named for an account or share operation: LOGONSERVER ("\\host") or COMPUTERNAME.
namespace ServerName {

// True for an empty name and for a name of this host (with or without leading backslashes,
// letter case ignored). Operations addressed to another host are refused: this host manages
// only its own accounts.
bool isThisHost(const QString &server);

} // namespace ServerName
