// Login names by the one rule: at most one separator, the user before "@" and after the others.
#include "dispatch/request.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(receivedMessage(data, size));
    const QString user = normalizeUserName(name);
    FUZZ_CHECK(isValidUserName(name) == !user.isEmpty());
    if (user.isEmpty())
        return 0;
    int separators = 0;
    for (const QChar separator : {QLatin1Char('/'), QLatin1Char('\\'), QLatin1Char('@'), QLatin1Char('+')}) {
        FUZZ_CHECK(!user.contains(separator));
        separators += name.count(separator);
    }
    FUZZ_CHECK(separators <= 1);
    for (const QChar c : name)
        FUZZ_CHECK(c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f));
    // The user is the name's one side of its separator: before "@", after any other.
    const bool before = name.startsWith(user + QLatin1Char('@'));
    const bool after = name.endsWith(user) && name.size() > user.size()
                       && name.at(name.size() - user.size() - 1) != QLatin1Char('@');
    FUZZ_CHECK(separators == 0 ? user == name : before || after);
    FUZZ_CHECK(normalizeUserName(user) == user);
    return 0;
}
