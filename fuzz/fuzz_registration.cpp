// A control client's registration: its parameters join again into the text they came from, and
// an address and a user written into one come back, the user with its whitespace collapsed.
#include "dispatch/request.h"
#include "fuzzcheck.h"
#include "protocol/servercontrol.h"

namespace {

const QString prefix = QStringLiteral("_serverCommand_set_remote_server?");


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = receivedMessage(data, size);
    const QString message = prefix + QString::fromUtf8(bytes);
    const ServerControl::Registration registration =
        ServerControl::parseRegistration(Request(message, Request::AsReceived));
    const QString rest = message.mid(prefix.size());
    FUZZ_CHECK(rest.startsWith(registration.parameters.join(QLatin1Char('&'))));
    FUZZ_CHECK(registration.parameters.join(QLatin1Char('&')).size() == rest.indexOf(QLatin1Char('?'))
               || !rest.contains(QLatin1Char('?')));
    if (registration.parameters.size() == 2) {
        FUZZ_CHECK(registration.address == registration.parameters.at(0));
        FUZZ_CHECK(registration.user == registration.user.simplified());
    } else {
        FUZZ_CHECK(registration.address.isEmpty() && registration.user.isEmpty());
    }

    const int middle = bytes.size() / 2;
    const QString address = component(bytes.left(middle));
    const QString user = component(bytes.mid(middle));
    const ServerControl::Registration written =
        ServerControl::parseRegistration(Request(prefix + address + QLatin1Char('&') + user, Request::AsReceived));
    FUZZ_CHECK(written.parameters.size() == 2);
    FUZZ_CHECK(written.address == address && written.user == user.simplified());
    return 0;
}
