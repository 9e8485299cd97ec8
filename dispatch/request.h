#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One text request, parsed once and shared by the login, the guards, the handlers and the
// masking of secrets. Two split rules are in use:
// - the dispatcher's: the name is the text before the first "?"; the parameters are the text
//   between it and the next "?" (the rest is dropped), split at "&" with empty parts kept; no
//   "?" means no parameters;
// - positional fields, for the requests answered before a login: every "?" and "&" separates,
//   field 0 being the name; a field beyond the end is null.
// The login also splits the whole text at "&" alone: its password is everything after the
// second "&", further "&" included.
class Request
{
public:
    enum Form {
        Trimmed,
        // As it arrived: a control client's registration keeps its blanks.
        AsReceived,
    };
    explicit Request(const QString &text, Form form = Trimmed);
    // Keeps the bytes too, for the log lines that show the message as it came.
    static Request fromMessage(const QByteArray &message, Form form = Trimmed);

    const QString &text() const { return content; }
    const QByteArray &message() const { return bytes; }
    const QString &name() const { return commandName; }
    const QStringList &parameters() const { return params; }

    // Parameter access for the handlers, by the dispatcher's rule.
    int size() const { return params.size(); }
    const QString &operator[](int i) const { return params.at(i); }
    QString value(int i) const { return params.value(i); }
    QStringList mid(int i) const { return params.mid(i); }

    // Positional fields.
    QString field(int i) const;
    // From the start of field i to the end, separators included as they stand.
    QString fieldsFrom(int i) const;
    // Fields of the whole text split at "&" alone, from i on, joined again with "&".
    QString ampersandFieldsFrom(int i) const;
    QString ampersandField(int i) const;

    // Decimal integer; text that is no number reads as 0.
    static qint64 toNumber(const QString &text);
    static int toId(const QString &text) { return static_cast<int>(toNumber(text)); }

private:
    // Start of positional field i in the text, or -1 beyond the end.
    int fieldStart(int i, int *end) const;

    QString content;
    QByteArray bytes;
    QString commandName;
    QStringList params;
};

// A login name is read one way everywhere: "user", "DOMAIN\user", "DOMAIN/user", "DOMAIN+user"
// or "user@DOMAIN" (the user before "@", as a Kerberos principal reads). Valid only with at most
// one separator, no empty part and no control character.
bool isValidUserName(const QString &name);
// The user part of a valid name; empty for any other.
QString normalizeUserName(const QString &name);
