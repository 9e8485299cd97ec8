#include "protocol/secretmask.h"

#include <QList>

namespace {

const QByteArray hidden = QByteArrayLiteral("**********");

struct SecretParameters {
    const char *command;
    int firstSecret; // index of the first secret parameter
    int lastSecret;  // -1: every parameter from firstSecret on
};

// Parameters are separated by "&" after the first "?". Login passwords may hold "&" themselves,
// so everything from the secret on is hidden.
const SecretParameters secretParameters[] = {
    {"login", 2, -1},
    {"validate", 2, -1},
    {"create_user", 1, 1},
    {"modify_user_password", 1, -1},
    {"set_server_token", 1, -1},
    {"set_server_information", 0, 0},
    // The provider's authorisation code for the user's cloud account.
    {"finish_set_cloud_drive", 0, 0},
};

// Enabling a user (also as the last step of creating one) answers the user's fresh token.
const char *const commandsAnsweringSecrets[] = {"get_user_token", "activate_user", "enable_user",
                                                "create_user"};

QByteArray commandName(const QByteArray &message)
{
    const QByteArray trimmed = message.trimmed();
    const int question = trimmed.indexOf('?');
    return question < 0 ? trimmed : trimmed.left(question);
}

} // namespace

namespace SecretMask {

QByteArray maskedForLog(const QByteArray &message)
{
    const QByteArray name = commandName(message);
    for (const SecretParameters &s : secretParameters) {
        if (name != s.command)
            continue;
        const int question = message.indexOf('?');
        if (question < 0)
            return message;
        QList<QByteArray> parts = message.mid(question + 1).split('&');
        if (s.firstSecret >= parts.size())
            return message;
        if (s.lastSecret < 0) {
            parts = parts.mid(0, s.firstSecret);
            parts.append(hidden);
        } else {
            for (int i = s.firstSecret; i <= s.lastSecret && i < parts.size(); ++i)
                parts[i] = hidden;
        }
        return message.left(question + 1) + parts.join('&');
    }
    return message;
}

QByteArray maskedReply(const QByteArray &message, const QByteArray &reply)
{
    const QByteArray name = commandName(message);
    for (const char *command : commandsAnsweringSecrets) {
        if (name == command)
            return hidden;
    }
    return reply;
}

} // namespace SecretMask
