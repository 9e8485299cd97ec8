#include "protocol/secretmask.h"

#include "dispatch/commandtable.h"
#include "dispatch/request.h"

#include <QList>

namespace {

const QByteArray hidden = QByteArrayLiteral("**********");

bool isFieldSeparator(char c)
{
    return c == '?' || c == '&';
}

// Parts of the message split at its separators, each with its separator in front (the first
// with none), so that joining them gives the message back.
QList<QByteArray> pieces(const QByteArray &message, bool (*separates)(char))
{
    QList<QByteArray> result{QByteArray()};
    for (const char c : message) {
        if (separates(c))
            result.append(QByteArray(1, c));
        else
            result.last().append(c);
    }
    return result;
}

// Hides pieces first..last (-1: the rest of the message), each keeping its separator.
QByteArray hidePieces(const QList<QByteArray> &parts, int first, int last)
{
    QByteArray out;
    for (int i = 0; i < parts.size(); ++i) {
        if (i < first || (last >= 0 && i > last)) {
            out += parts.at(i);
            continue;
        }
        out += parts.at(i).left(i > 0 ? 1 : 0) + hidden;
        if (last < 0)
            break;
    }
    return out;
}

// Hides what the row says is secret, as the command itself reads it.
QByteArray hide(const QByteArray &message, const Secrets &secrets)
{
    switch (secrets.rule) {
    case Secrets::None:
        return message;
    case Secrets::Parameters: {
        // After the first "?", at every "&": a parameter cut short by a second "?" is hidden whole.
        const int question = message.indexOf('?');
        if (question < 0)
            return message;
        const QList<QByteArray> parts = pieces(message.mid(question + 1), [](char c) { return c == '&'; });
        return message.left(question + 1) + hidePieces(parts, secrets.first, secrets.last);
    }
    case Secrets::Fields:
        return hidePieces(pieces(message, isFieldSeparator), secrets.first, secrets.last);
    case Secrets::LoginPassword: {
        const int first = message.indexOf('&');
        const int second = first < 0 ? -1 : message.indexOf('&', first + 1);
        return second < 0 ? message : message.left(second + 1) + hidden;
    }
    }
    return message;
}

} // namespace

namespace SecretMask {

QByteArray masked(const Request &request, const Secrets *secrets)
{
    return secrets ? hide(request.message(), *secrets) : request.message();
}

QByteArray maskedReply(const QByteArray &reply, const Secrets *secrets)
{
    return secrets && secrets->inReply ? hidden : reply;
}

} // namespace SecretMask

const char *LoggedMessage::text() const
{
    if (!isMasked) {
        maskedText = SecretMask::masked(request, secrets);
        isMasked = true;
    }
    return maskedText.constData();
}
