// A request as both split rules, the login's ampersand fields and the number reading see it:
// whatever a rule splits joins again into the text it split.
#include "dispatch/request.h"
#include "fuzzcheck.h"

#include <cstring>

namespace {

void checkDispatcherRule(const Request &request)
{
    const QString &text = request.text();
    const int question = text.indexOf(QLatin1Char('?'));
    FUZZ_CHECK(!request.name().contains(QLatin1Char('?')));
    if (question < 0) {
        FUZZ_CHECK(request.name() == text && request.size() == 0);
        return;
    }
    // Name, "?", the parameters joined with "&", then a second "?" or the end.
    const QString joined = request.name() + QLatin1Char('?') + request.parameters().join(QLatin1Char('&'));
    FUZZ_CHECK(text.startsWith(joined));
    FUZZ_CHECK(text.size() == joined.size() || text.at(joined.size()) == QLatin1Char('?'));
    for (const QString &parameter : request.parameters())
        FUZZ_CHECK(!parameter.contains(QLatin1Char('?')) && !parameter.contains(QLatin1Char('&')));
}

void checkPositionalFields(const Request &request)
{
    const QString &text = request.text();
    QString separators;
    for (const QChar c : text) {
        if (isSeparator(c))
            separators += c;
    }
    // Bounded: a field lookup scans from the start.
    const int checked = qMin(int(separators.size()), 12);
    QString joined;
    for (int i = 0; i <= checked; ++i) {
        const QString field = request.field(i);
        FUZZ_CHECK(!field.isNull());
        FUZZ_CHECK(!field.contains(QLatin1Char('?')) && !field.contains(QLatin1Char('&')));
        const QString rest = request.fieldsFrom(i);
        FUZZ_CHECK(rest.startsWith(field) && text.endsWith(rest));
        joined += field;
        if (i < separators.size())
            joined += separators.at(i);
    }
    if (checked == separators.size()) {
        FUZZ_CHECK(joined == text);
        FUZZ_CHECK(request.field(checked + 1).isNull() && request.fieldsFrom(checked + 1).isNull());
    }
}

void checkAmpersandFields(const Request &request)
{
    const QString &text = request.text();
    if (text.count(QLatin1Char('&')) < 2) {
        FUZZ_CHECK(request.ampersandFieldsFrom(2).isEmpty());
        return;
    }
    // As the login reads it: the admin group holds no "&", the password keeps every further one.
    FUZZ_CHECK(!request.ampersandField(1).contains(QLatin1Char('&')));
    FUZZ_CHECK(request.ampersandField(0) + QLatin1Char('&') + request.ampersandField(1) + QLatin1Char('&')
                   + request.ampersandFieldsFrom(2)
               == text);
}

void checkNumber(const QString &text)
{
    const qint64 value = Request::toNumber(text);
    if (value == 0)
        return;
    // A number is read only from a text that writes it in decimal, give or take a sign, leading
    // zeros and blanks around it.
    QString written = text.trimmed();
    const bool negative = written.startsWith(QLatin1Char('-'));
    if (negative || written.startsWith(QLatin1Char('+')))
        written.remove(0, 1);
    while (written.size() > 1 && written.startsWith(QLatin1Char('0')))
        written.remove(0, 1);
    FUZZ_CHECK((negative ? QStringLiteral("-") : QString()) + written == QString::number(value));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = receivedMessage(data, size);
    const Request request = Request::fromMessage(message);
    FUZZ_CHECK(request.text() == QString::fromUtf8(message).trimmed());
    checkDispatcherRule(request);
    checkPositionalFields(request);
    checkAmpersandFields(request);
    for (const QString &parameter : request.parameters())
        checkNumber(parameter);
    if (size >= 8) {
        qint64 value;
        std::memcpy(&value, data, sizeof value);
        FUZZ_CHECK(Request::toNumber(QString::number(value)) == value);
    }
    return 0;
}
