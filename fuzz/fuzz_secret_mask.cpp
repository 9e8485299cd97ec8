// Masking of secrets in the log and debug lines. For messages of every command that carries a
// password or token, the secret is found the way the server itself reads it from the message;
// the masked text must then not depend on it: the same message with another secret in its place
// masks to the same bytes. Any other bytes must mask without harm.
#include "dispatch/commandtable.h"
#include "dispatch/request.h"
#include "fuzzcheck.h"
#include "protocol/secretmask.h"

#include <QList>

namespace {

const char *const commands[] = {"login",           "validate",        "create_user",
                                "modify_user_password", "set_server_token", "set_server_information",
                                "finish_set_cloud_drive"};

// The secrets of message as the server reads them: the login's password, the token of
// "set_server_information" (answered before a login, by positional fields), and the dispatched
// commands' password and token parameters.
QList<QString> secretsOf(const QByteArray &message)
{
    const Request request = Request::fromMessage(message);
    const QString field0 = request.field(0);
    if (field0 == QLatin1String("login") || field0 == QLatin1String("validate"))
        return {request.ampersandFieldsFrom(2)};
    if (field0 == QLatin1String("set_server_information"))
        return {request.field(1)};
    const QString &name = request.name();
    if (name == QLatin1String("create_user") || name == QLatin1String("set_server_token"))
        return {request.value(1)};
    if (name == QLatin1String("modify_user_password"))
        return {request.value(1), request.value(2)};
    if (name == QLatin1String("finish_set_cloud_drive"))
        return {request.value(0)};
    return {};
}

// As the server masks a text request for its log lines: by the row that answers it.
QByteArray maskedForLog(const QByteArray &message)
{
    const Request request = Request::fromMessage(message);
    const CommandRow *row = CommandTable::rowFor(request);
    return SecretMask::masked(request, row ? &row->secrets : nullptr);
}

// The message with other bytes in place of the secret's, separators and blanks left as they
// are, so that the server would split it the same way and read another secret.
QByteArray withOtherSecret(const QByteArray &message, int position, int length)
{
    QByteArray other = message;
    for (int i = position; i < position + length; ++i) {
        const char c = other.at(i);
        if (c != '?' && c != '&' && !QChar::isSpace(uchar(c)))
            other[i] = c == 'x' ? 'y' : 'x';
    }
    return other;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray raw = receivedMessage(data + 1, size - 1);
    maskedForLog(raw);

    const char *command = commands[data[0] % (sizeof commands / sizeof *commands)];
    const QByteArray message = receivedMessage(reinterpret_cast<const uint8_t *>((command + raw).constData()),
                                               size_t(qstrlen(command) + raw.size()));
    const QByteArray masked = maskedForLog(message);
    for (const QString &secret : secretsOf(message)) {
        const QByteArray bytes = secret.toUtf8();
        const int position = message.indexOf(bytes);
        // Only a secret found once, as it was written: elsewhere the same bytes may stand for
        // something else, and bytes that are no UTF-8 are read as replacement characters, which
        // the message may also hold as they are.
        if (bytes.isEmpty() || secret.contains(QChar::ReplacementCharacter) || position < 0
            || message.indexOf(bytes, position + 1) >= 0)
            continue;
        const QByteArray other = withOtherSecret(message, position, bytes.size());
        FUZZ_CHECK(maskedForLog(other) == masked);
    }
    return 0;
}
