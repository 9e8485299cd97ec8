#pragma once

#include <QDeadlineTimer>
#include <QThread>

// Polls until condition holds or msecs pass: for state that other threads or processes change.
template <typename Condition>
bool waitUntil(Condition condition, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}
