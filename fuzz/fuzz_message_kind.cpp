// Sorting messages into their kinds: only the leading bytes decide, and every kind but the
// ordinary request names a prefix the message really starts with.
#include "fuzzcheck.h"
#include "protocol/clientsession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = receivedMessage(data, size);
    const MessageKind kind = messageKind(message);
    const struct {
        const char *prefix;
        MessageKind kind;
    } prefixes[] = {{"quit", MessageKind::Quit},
                    {"_serverCommand_set_remote_server?", MessageKind::RemoteServerRegistration},
                    {"_serverCommand_", MessageKind::ServerCommand},
                    {"_sendBinaryFile_", MessageKind::BinaryFile},
                    {"_byteArray_", MessageKind::ByteArray}};
    bool prefixed = false;
    for (const auto &p : prefixes) {
        if (p.kind == kind)
            FUZZ_CHECK(message.startsWith(p.prefix));
        prefixed = prefixed || message.startsWith(p.prefix);
    }
    FUZZ_CHECK((kind == MessageKind::Request) == !prefixed);
    // What follows the longest prefix never changes the kind.
    if (message.size() >= 33)
        FUZZ_CHECK(messageKind(message.left(33) + message.right(message.size() / 2)) == kind);
    return 0;
}
