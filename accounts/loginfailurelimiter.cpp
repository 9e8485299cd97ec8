#include "accounts/loginfailurelimiter.h"

#include "base/log.h"
#include "base/servermetrics.h"
#include "base/settings.h"

#include <QElapsedTimer>
#include <QMutexLocker>

namespace {

int positiveSetting(const char *key, int defaultValue)
{
    return qMax(1, Settings::value(key, defaultValue).toInt());
}

qint64 now()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    // Offset by a day so that "held until 0" is always in the past.
    return clock.elapsed() + 86400000;
}

// Beyond this many entries, those with nothing running and every failure expired are dropped.
constexpr int sweepAbove = 1024;

} // namespace

LoginFailureLimiter &LoginFailureLimiter::instance()
{
    // Never destroyed: detached connection threads may still log in while the process exits.
    static LoginFailureLimiter *limiter = new LoginFailureLimiter;
    return *limiter;
}

bool LoginFailureLimiter::check(const QString &address, const QString &user, const std::function<bool()> &check)
{
    const Limits limits{positiveSetting(Settings::LoginFailureLimit, Settings::DefaultLoginFailureLimit),
                        positiveSetting(Settings::LoginFailureAddressLimit, Settings::DefaultLoginFailureAddressLimit),
                        1000 * qint64(positiveSetting(Settings::LoginFailureWindow, Settings::DefaultLoginFailureWindow))};
    const QString userKey = address + QLatin1Char(' ') + user.toCaseFolded();
    if (!reserve(address, userKey, limits))
        return false;
    const bool passed = check();
    bool userHeld = false, addressHeld = false;
    settle(address, userKey, passed, limits, &userHeld, &addressHeld);
    const qint64 seconds = limits.windowMs / 1000;
    ServerMetrics::instance().guessingHolds.add(quint64(userHeld) + quint64(addressHeld));
    if (userHeld) {
        Log::info(QStringLiteral("Host password checks for %1 from %2 held back for %3 s after %4 failures")
                      .arg(user, address).arg(seconds).arg(limits.perUser));
    }
    if (addressHeld) {
        Log::info(QStringLiteral("Host password checks from %1 held back for %2 s after %3 failures")
                      .arg(address).arg(seconds).arg(limits.perAddress));
    }
    return passed;
}

bool LoginFailureLimiter::reserve(const QString &address, const QString &userKey, const Limits &limits)
{
    const qint64 t = now();
    QMutexLocker locker(&lock);
    sweep(byAddress, t, limits.windowMs);
    sweep(byUser, t, limits.windowMs);
    Failures &forAddress = byAddress[address];
    Failures &forUser = byUser[userKey];
    for (Failures *f : {&forAddress, &forUser}) {
        while (!f->times.isEmpty() && f->times.first() <= t - limits.windowMs)
            f->times.removeFirst();
    }
    if (t < forAddress.heldUntil || t < forUser.heldUntil)
        return false;
    if (forAddress.times.size() + forAddress.inFlight >= limits.perAddress
        || forUser.times.size() + forUser.inFlight >= limits.perUser)
        return false;
    ++forAddress.inFlight;
    ++forUser.inFlight;
    return true;
}

void LoginFailureLimiter::settle(const QString &address, const QString &userKey, bool passed,
                                 const Limits &limits, bool *userHeld, bool *addressHeld)
{
    const qint64 t = now();
    QMutexLocker locker(&lock);
    const auto settleOne = [&](Failures &f, int limit) {
        --f.inFlight;
        if (passed)
            return false;
        f.times.append(t);
        if (f.times.size() < limit)
            return false;
        const bool newly = f.heldUntil <= t;
        f.heldUntil = t + limits.windowMs;
        return newly;
    };
    // Reserved entries are never swept, so both are still there.
    *userHeld = settleOne(byUser[userKey], limits.perUser);
    *addressHeld = settleOne(byAddress[address], limits.perAddress);
}

void LoginFailureLimiter::sweep(QHash<QString, Failures> &entries, qint64 t, qint64 windowMs)
{
    if (entries.size() <= sweepAbove)
        return;
    for (auto it = entries.begin(); it != entries.end();) {
        const bool expired = it->times.isEmpty() || it->times.last() <= t - windowMs;
        if (it->inFlight == 0 && expired && it->heldUntil <= t)
            it = entries.erase(it);
        else
            ++it;
    }
}
