#include "registration/tokengenerator.h"

#include <QRandomGenerator>

namespace TokenGenerator {

QString newToken()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr quint32 size = sizeof alphabet - 1;
    QString token;
    token.reserve(TokenLength);
    QRandomGenerator *random = QRandomGenerator::system();
    while (token.size() < TokenLength) {
        // bounded() rejects out-of-range draws, so every character is equally likely.
        token.append(QLatin1Char(alphabet[random->bounded(size)]));
    }
    return token;
}

} // namespace TokenGenerator
