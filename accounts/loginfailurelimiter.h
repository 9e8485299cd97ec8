#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

// Host passwords must not be guessable at network speed: failed host-password checks are
// counted per client address, across connections, and an address that failed too often is
// held back (its checks fail without being attempted) until a whole window has passed since
// its last failure. Tokens are not counted: they cannot be guessed.
class LoginFailureLimiter
{
public:
    static LoginFailureLimiter &instance();

    // Runs check unless address is held back; a false result counts as a failure.
    bool check(const QString &address, const std::function<bool()> &check);

    bool isHeldBack(const QString &address);
    void recordFailure(const QString &address);

private:
    LoginFailureLimiter() = default;

    struct Failures {
        QList<qint64> times; // msecs, within the window
        qint64 heldUntil = 0;
    };

    QMutex lock;
    QHash<QString, Failures> byAddress;
};
