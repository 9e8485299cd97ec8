// The privileged side's request parser: any bytes as the payload of one frame from the serving
// process. Decoding never fails harmfully, a decoded list encodes back to the same bytes, and a
// request counts as well formed exactly when its operation exists, its field count is the
// operation's and every field has its shape; no shape lets a control character, a path separator
// or an option into a name, a relative path into a path, or a line end into a password.
#include "fuzzcheck.h"
#include "platform/fieldcheck.h"
#include "platform/wire.h"
#include "privileged/operations.h"

#include <string>

namespace {

bool hasControlByte(const std::string &text)
{
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

void checkShape(FieldKind kind, const std::string &field)
{
    switch (kind) {
    case FieldKind::AccountName:
        FUZZ_CHECK(!field.empty() && field.size() <= 256 && !hasControlByte(field));
        FUZZ_CHECK(field.find_first_of("/:,") == std::string::npos && field[0] != '-' && field != "." && field != "..");
        break;
    case FieldKind::Path:
        FUZZ_CHECK(!field.empty() && field[0] == '/' && !hasControlByte(field));
        break;
    case FieldKind::Password:
        FUZZ_CHECK(!field.empty() && field.find_first_of(std::string("\0\n\r", 3)) == std::string::npos);
        break;
    case FieldKind::Operand:
        FUZZ_CHECK(field.empty() || field[0] != '-');
        FUZZ_CHECK(!hasControlByte(field));
        break;
    case FieldKind::UserName:
    case FieldKind::Text:
    case FieldKind::Argument:
    case FieldKind::RelativePath:
        FUZZ_CHECK(!hasControlByte(field));
        break;
    case FieldKind::Flag:
        FUZZ_CHECK(field == "0" || field == "1");
        break;
    case FieldKind::LogLevel:
        FUZZ_CHECK(field == "error" || field == "info");
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string payload(reinterpret_cast<const char *>(data), size);
    Wire::Fields request;
    if (!Wire::decode(payload, &request))
        return 0;
    const std::string frame = Wire::encode(request);
    FUZZ_CHECK(frame.substr(4) == payload);

    const std::vector<FieldKind> *shape = request.empty() ? nullptr : Operations::shapeOf(request[0]);
    bool fits = shape && shape->size() + 1 == request.size();
    for (size_t i = 0; fits && i < shape->size(); ++i)
        fits = FieldCheck::isAcceptable((*shape)[i], request[i + 1]);
    FUZZ_CHECK(Operations::isWellFormed(request) == fits);
    if (fits) {
        for (size_t i = 0; i < shape->size(); ++i)
            checkShape((*shape)[i], request[i + 1]);
    }
    return 0;
}
