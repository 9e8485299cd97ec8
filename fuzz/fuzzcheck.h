#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A property every input must keep; a broken one stops the run like a crash, and libFuzzer keeps
// the input that broke it.
#define FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) { \
            std::fprintf(stderr, "Property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort(); \
        } \
    } while (false)

// One message as the connection thread hands it on: what one receive (at most 1023 bytes) gave,
// up to its first zero byte.
inline QByteArray receivedMessage(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size < 1023 ? size : 1023));
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

inline bool isSeparator(QChar c)
{
    return c == QLatin1Char('?') || c == QLatin1Char('&');
}

// Text without the separators a message is split at.
inline QString component(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    text.remove(QLatin1Char('?')).remove(QLatin1Char('&'));
    return text;
}
