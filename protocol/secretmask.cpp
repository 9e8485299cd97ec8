#include "protocol/secretmask.h"

namespace {

const QByteArray hidden = QByteArrayLiteral("**********");

bool isLoginCommand(const QByteArray &message)
{
    const QByteArray trimmed = message.trimmed();
    return trimmed.startsWith("login?") || trimmed.startsWith("validate?");
}

} // namespace

namespace SecretMask {

QByteArray maskedForLog(const QByteArray &message)
{
    if (isLoginCommand(message)) {
        // login?USER&ADMINGROUP&PASSWORD: everything after the second "&" is the password.
        const int first = message.indexOf('&');
        const int second = first < 0 ? -1 : message.indexOf('&', first + 1);
        if (second >= 0)
            return message.left(second + 1) + hidden;
        return message;
    }
    return message;
}

} // namespace SecretMask
