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

// The rows a message may be run by: a request answered before a login is found by its first
// field, any other by the text before its first "?".
QList<Secrets> secretsOf(const QByteArray &message)
{
    const Request request = Request::fromMessage(message);
    QList<Secrets> found;
    if (const CommandRow *row = CommandTable::find(request.field(0)); row && row->access == Access::NoLogin)
        found.append(row->secrets);
    if (const CommandRow *row = CommandTable::find(request.name()))
        found.append(row->secrets);
    return found;
}

} // namespace

namespace SecretMask {

QByteArray maskedForLog(const QByteArray &message)
{
    QByteArray masked = message;
    const QList<Secrets> rows = secretsOf(message);
    for (const Secrets &secrets : rows)
        masked = hide(masked, secrets);
    return masked;
}

QByteArray maskedReply(const QByteArray &message, const QByteArray &reply)
{
    const QList<Secrets> rows = secretsOf(message);
    for (const Secrets &secrets : rows) {
        if (secrets.inReply)
            return hidden;
    }
    return reply;
}

} // namespace SecretMask
