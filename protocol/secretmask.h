#pragma once

#include <QByteArray>

class Request;
struct Secrets;

// Every debug or log line that shows a whole message or reply shows it through here, so that no
// password or token reaches the journal or the log file.
namespace SecretMask {

// The message as it came, with what its row says is secret hidden the way the command reads it
// (secrets null: nothing is).
QByteArray masked(const Request &request, const Secrets *secrets);
// A reply, hidden whole when the command answers with a credential.
QByteArray maskedReply(const QByteArray &reply, const Secrets *secrets);

} // namespace SecretMask

// One message as the lines of the log show it: masked once, for the first line that shows it.
class LoggedMessage
{
public:
    LoggedMessage(const Request &request, const Secrets *secrets) : request(request), secrets(secrets) {}
    LoggedMessage(const LoggedMessage &) = delete;
    LoggedMessage &operator=(const LoggedMessage &) = delete;

    const char *text() const;
    QByteArray reply(const QByteArray &reply) const { return SecretMask::maskedReply(reply, secrets); }

private:
    const Request &request;
    const Secrets *secrets;
    mutable QByteArray maskedText;
    mutable bool isMasked = false;
};
