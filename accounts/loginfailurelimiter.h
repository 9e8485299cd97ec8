#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

// Host passwords must not be guessable at network speed: failed host-password checks are
// counted per client address and user, and per client address alone (consoles and other servers
// log many users in from one address, so that limit is higher), across connections. A key that
// failed too often is held back (its checks fail without being attempted) until a whole window
// has passed since its last failure. A check is reserved before it runs, so checks in flight
// count against both limits: a burst of concurrent guesses gets no more tries than a sequence.
// Tokens are not counted: they cannot be guessed.
class LoginFailureLimiter
{
public:
    static LoginFailureLimiter &instance();

    // Runs check for user (a login name's user part; its case does not count) from address
    // unless a limit stands in the way; a false result counts as a failure.
    bool check(const QString &address, const QString &user, const std::function<bool()> &check);

private:
    LoginFailureLimiter() = default;

    struct Failures {
        QList<qint64> times; // msecs, within the window
        qint64 heldUntil = 0;
        int inFlight = 0; // checks reserved and running
    };
    struct Limits {
        int perUser;
        int perAddress;
        qint64 windowMs;
    };

    bool reserve(const QString &address, const QString &userKey, const Limits &limits);
    // The reservation's end; which keys this failure newly held back.
    void settle(const QString &address, const QString &userKey, bool passed, const Limits &limits,
                bool *userHeld, bool *addressHeld);
    void sweep(QHash<QString, Failures> &entries, qint64 t, qint64 windowMs);

    QMutex lock;
    QHash<QString, Failures> byAddress;
    QHash<QString, Failures> byUser; // address, a blank, the case-folded user part
};
