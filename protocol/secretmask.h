#pragma once

#include <QByteArray>

// Every debug or log line that shows a whole message shows it through here, so that no
// password reaches the journal or the log file.
namespace SecretMask {

QByteArray maskedForLog(const QByteArray &message);

} // namespace SecretMask
