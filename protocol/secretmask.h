#pragma once

#include <QByteArray>

// Every debug or log line that shows a whole message or reply shows it through here, so that no
// password or token reaches the journal or the log file.
namespace SecretMask {

QByteArray maskedForLog(const QByteArray &message);
// The reply to message, masked when that command answers with a credential.
QByteArray maskedReply(const QByteArray &message, const QByteArray &reply);

} // namespace SecretMask
