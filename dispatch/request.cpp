#include "dispatch/request.h"

namespace {

bool isFieldSeparator(QChar c)
{
    return c == QLatin1Char('?') || c == QLatin1Char('&');
}

bool isUserNameSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char('@') || c == QLatin1Char('+');
}

constexpr int malformedName = -2;

// Position of the one separator (-1 without), or malformedName.
int userNameSeparator(const QString &name)
{
    int at = -1;
    for (int i = 0; i < name.size(); ++i) {
        const ushort c = name.at(i).unicode();
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
            return malformedName;
        if (isUserNameSeparator(name.at(i))) {
            if (at >= 0)
                return malformedName;
            at = i;
        }
    }
    if (name.isEmpty() || at == 0 || at == name.size() - 1)
        return malformedName;
    return at;
}

} // namespace

Request::Request(const QString &text, Form form)
    : content(form == Trimmed ? text.trimmed() : text)
{
    const int question = content.indexOf(QLatin1Char('?'));
    if (question < 0) {
        commandName = content;
        return;
    }
    commandName = content.left(question);
    const int next = content.indexOf(QLatin1Char('?'), question + 1);
    params = content.mid(question + 1, next < 0 ? -1 : next - question - 1).split(QLatin1Char('&'));
}

Request Request::fromMessage(const QByteArray &message, Form form)
{
    Request request(QString::fromUtf8(message), form);
    request.bytes = message;
    return request;
}

// A plain scan, not a regular expression: it splits exactly as "[?&]" would, empty fields kept.
int Request::fieldStart(int i, int *end) const
{
    int start = 0;
    for (int k = 0;; ++k) {
        int stop = start;
        while (stop < content.size() && !isFieldSeparator(content.at(stop)))
            ++stop;
        if (k == i) {
            *end = stop;
            return start;
        }
        if (stop == content.size())
            return -1;
        start = stop + 1;
    }
}

QString Request::field(int i) const
{
    int end = 0;
    const int start = fieldStart(i, &end);
    return start < 0 ? QString() : content.mid(start, end - start);
}

QString Request::fieldsFrom(int i) const
{
    int end = 0;
    const int start = fieldStart(i, &end);
    return start < 0 ? QString() : content.mid(start);
}

QString Request::ampersandFieldsFrom(int i) const
{
    return content.split(QLatin1Char('&')).mid(i).join(QLatin1Char('&'));
}

QString Request::ampersandField(int i) const
{
    return content.split(QLatin1Char('&')).value(i);
}

qint64 Request::toNumber(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? value : 0;
}

bool isValidUserName(const QString &name)
{
    return userNameSeparator(name) != malformedName;
}

QString normalizeUserName(const QString &name)
{
    const int at = userNameSeparator(name);
    if (at == malformedName)
        return QString();
    if (at < 0)
        return name;
    return name.at(at) == QLatin1Char('@') ? name.left(at) : name.mid(at + 1);
}
