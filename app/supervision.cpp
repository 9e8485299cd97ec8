#include "app/supervision.h"

#include "base/servermetrics.h"
#include "db/mysqlpool.h"
#include "net/connectionthread.h"
#include "net/servingprobe.h"
#include "platform/privileged.h"
#include "platform/servicemanager.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace {

// Without a watchdog the status line is refreshed this often.
constexpr int StatusMsecs = 5000;

struct Listening {
    QByteArray address;
    int port;
    bool tls;
};

QByteArray databaseState()
{
    const MySqlPool::Figures pool = MySqlPool::currentFigures();
    if (!pool.used)
        return "not used yet";
    return pool.reachable ? "reachable" : "unreachable";
}

// shown: the status line the manager has now.
void superviseServing(const Listening &listening, int periodMsecs, bool watchdog, QByteArray shown)
{
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        // On a fixed beat: a slow probe does not push the next one later.
        next = std::max(next + std::chrono::milliseconds(periodMsecs), std::chrono::steady_clock::now());
        std::this_thread::sleep_until(next);
        QByteArray status = Supervision::statusLine();
        if (watchdog) {
            // Within the period, so that a probe that hangs still leaves time for the next.
            if (ServingProbe::isAnswered(listening.address, listening.port, listening.tls, periodMsecs))
                ServiceManager::notifyAlive();
            else
                status += "; not answering a probe";
        }
        if (status != shown) {
            ServiceManager::notifyStatus(status);
            shown = status;
        }
    }
}

} // namespace

namespace Supervision {

QByteArray statusLine()
{
    return QByteArray::number(ConnectionThread::liveConnections()) + " clients connected, "
           + QByteArray::number(ServerMetrics::instance().loggedIn.value()) + " logged in; database "
           + databaseState();
}

bool begin(const QByteArray &address, int plainPort, int tlsPort, QString *error)
{
    if (!ServiceManager::isSupervised())
        return true;
    if (!Privileged::isAnswering()) {
        *error = QStringLiteral("the privileged side does not answer");
        return false;
    }
    const QByteArray status = statusLine();
    ServiceManager::notifyReady(status);
    const quint64 watchdogUsec = ServiceManager::watchdogMicroseconds();
    // Twice per watchdog interval: one late probe does not cost the process its life.
    const int period = watchdogUsec ? int(qBound<quint64>(10, watchdogUsec / 2000, 3600 * 1000)) : StatusMsecs;
    const Listening listening{address, plainPort > 0 ? plainPort : tlsPort, plainPort <= 0};
    try {
        std::thread(superviseServing, listening, period, watchdogUsec > 0, status).detach();
    } catch (const std::system_error &e) {
        *error = QString::fromLocal8Bit(e.what());
        return false;
    }
    return true;
}

} // namespace Supervision
