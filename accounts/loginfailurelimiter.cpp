#include "accounts/loginfailurelimiter.h"

#include "app/log.h"
#include "app/settings.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSettings>

namespace {

struct Limits {
    int failures;
    qint64 windowMs;
};

Limits readLimits()
{
    const QSettings settings(Settings::settingsPath(), QSettings::IniFormat);
    return {qMax(1, settings.value(Settings::LoginFailureLimit, Settings::DefaultLoginFailureLimit).toInt()),
            1000 * qMax<qint64>(1, settings.value(Settings::LoginFailureWindow,
                                                  Settings::DefaultLoginFailureWindow).toLongLong())};
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

// Beyond this many addresses, entries whose failures have all expired are dropped.
constexpr int sweepAbove = 1024;

} // namespace

LoginFailureLimiter &LoginFailureLimiter::instance()
{
    // Never destroyed: detached connection threads may still log in while the process exits.
    static LoginFailureLimiter *limiter = new LoginFailureLimiter;
    return *limiter;
}

bool LoginFailureLimiter::check(const QString &address, const std::function<bool()> &check)
{
    if (isHeldBack(address))
        return false;
    if (check())
        return true;
    recordFailure(address);
    return false;
}

bool LoginFailureLimiter::isHeldBack(const QString &address)
{
    QMutexLocker locker(&lock);
    const auto it = byAddress.constFind(address);
    return it != byAddress.constEnd() && now() < it->heldUntil;
}

void LoginFailureLimiter::recordFailure(const QString &address)
{
    const Limits limits = readLimits();
    const qint64 t = now();
    bool heldNow = false;
    {
        QMutexLocker locker(&lock);
        if (byAddress.size() > sweepAbove) {
            for (auto it = byAddress.begin(); it != byAddress.end();) {
                if (it->times.isEmpty() || it->times.last() <= t - limits.windowMs)
                    it = byAddress.erase(it);
                else
                    ++it;
            }
        }
        Failures &failures = byAddress[address];
        while (!failures.times.isEmpty() && failures.times.first() <= t - limits.windowMs)
            failures.times.removeFirst();
        failures.times.append(t);
        if (failures.times.size() >= limits.failures) {
            heldNow = failures.heldUntil <= t;
            failures.heldUntil = t + limits.windowMs;
        }
    }
    if (heldNow) {
        Log::info(QStringLiteral("Host password checks from %1 held back for %2 s after %3 failures")
                      .arg(address)
                      .arg(limits.windowMs / 1000)
                      .arg(limits.failures));
    }
}
