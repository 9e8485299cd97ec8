// User names as requests may write them: the domain part goes, whatever the separators.
#include "dispatch/request.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(receivedMessage(data, size));
    const QString normalized = normalizeUserName(name);
    bool hasSeparator = false;
    for (const QChar separator : {QLatin1Char('/'), QLatin1Char('\\'), QLatin1Char('@'), QLatin1Char('+')}) {
        FUZZ_CHECK(!normalized.contains(separator));
        hasSeparator = hasSeparator || name.contains(separator);
    }
    FUZZ_CHECK(name.contains(normalized));
    FUZZ_CHECK(hasSeparator || normalized == name);
    FUZZ_CHECK(normalizeUserName(normalized) == normalized);
    return 0;
}
