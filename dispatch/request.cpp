#include "dispatch/request.h"

namespace {

bool isFieldSeparator(QChar c)
{
    return c == QLatin1Char('?') || c == QLatin1Char('&');
}

} // namespace

Request::Request(const QString &text)
    : trimmed(text.trimmed())
{
    const int question = trimmed.indexOf(QLatin1Char('?'));
    if (question < 0) {
        commandName = trimmed;
        return;
    }
    commandName = trimmed.left(question);
    const int next = trimmed.indexOf(QLatin1Char('?'), question + 1);
    params = trimmed.mid(question + 1, next < 0 ? -1 : next - question - 1).split(QLatin1Char('&'));
}

// A plain scan, not a regular expression: it splits exactly as "[?&]" would, empty fields kept.
int Request::fieldStart(int i, int *end) const
{
    int start = 0;
    for (int k = 0;; ++k) {
        int stop = start;
        while (stop < trimmed.size() && !isFieldSeparator(trimmed.at(stop)))
            ++stop;
        if (k == i) {
            *end = stop;
            return start;
        }
        if (stop == trimmed.size())
            return -1;
        start = stop + 1;
    }
}

QString Request::field(int i) const
{
    int end = 0;
    const int start = fieldStart(i, &end);
    return start < 0 ? QString() : trimmed.mid(start, end - start);
}

QString Request::fieldsFrom(int i) const
{
    int end = 0;
    const int start = fieldStart(i, &end);
    return start < 0 ? QString() : trimmed.mid(start);
}

QString Request::ampersandFieldsFrom(int i) const
{
    return trimmed.split(QLatin1Char('&')).mid(i).join(QLatin1Char('&'));
}

QString Request::ampersandField(int i) const
{
    return trimmed.split(QLatin1Char('&')).value(i);
}

qint64 Request::toNumber(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? value : 0;
}

QString normalizeUserName(const QString &name)
{
    QString result = name;
    for (const QChar separator : {QLatin1Char('/'), QLatin1Char('\\'), QLatin1Char('@'), QLatin1Char('+')}) {
        const int first = result.indexOf(separator);
        if (first < 0)
            continue;
        const int next = result.indexOf(separator, first + 1);
        result = result.mid(first + 1, next < 0 ? -1 : next - first - 1);
    }
    return result;
}
