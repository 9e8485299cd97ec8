// Byte-array replies: the length in front always states the payload that follows, and the
// request's name is looked up in its table whatever it holds.
#include "dispatch/commandtable.h"
#include "dispatch/request.h"
#include "fuzzcheck.h"
#include "protocol/requesthandler.h"

#include <QtEndian>

namespace {

void checkFraming(const QByteArray &payload)
{
    const QByteArray reply = RequestHandler::framed(payload);
    FUZZ_CHECK(reply.size() == payload.size() + 4);
    FUZZ_CHECK(qFromBigEndian<quint32>(reply.constData()) == quint32(payload.size()));
    FUZZ_CHECK(reply.mid(4) == payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = "_byteArray_" + receivedMessage(data, size);
    const Request request = Request::fromMessage(message);
    if (const ByteArrayRow *row = CommandTable::findByteArray(request.name()))
        FUZZ_CHECK(QString::fromLatin1(row->name) == request.name());
    checkFraming(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    // Now and then a payload longer than any fuzz input, so that the length's third byte counts too.
    if (size >= 3 && data[0] == 0xff)
        checkFraming(QByteArray(0x10000 | int(data[1]) << 8 | int(data[2]), '\x5a'));
    return 0;
}
