#pragma once

#include "base/log.h"
#include "base/servermetrics.h"

#include <QByteArray>
#include <QString>

#include <chrono>

// What one request leaves for the operator: its count, outcome and duration in the metrics, and
// its command and user on the log entries made while it runs. Lives for one request.
class RequestRecord
{
public:
    // row: the command table's row, null for a name the table lacks.
    template <typename Row>
    RequestRecord(const Row *row, const QString &user)
        : key(row), logFields(QString(), row ? row->name : nullptr, user),
          counting(ServerMetrics::instance().isCountingRequests())
    {
        if (counting)
            started = std::chrono::steady_clock::now();
    }
    RequestRecord(const RequestRecord &) = delete;
    RequestRecord &operator=(const RequestRecord &) = delete;

    // Ok unless set otherwise before finish(); an ok reply that reports an error counts as one.
    ServerMetrics::Outcome outcome = ServerMetrics::Outcome::Ok;

    QString finish(const QString &reply)
    {
        count(reply.startsWith(QLatin1String("Error")));
        return reply;
    }
    QByteArray finish(const QByteArray &reply)
    {
        count(reply.startsWith("Error"));
        return reply;
    }

private:
    void count(bool isError)
    {
        if (!counting)
            return;
        if (isError && outcome == ServerMetrics::Outcome::Ok)
            outcome = ServerMetrics::Outcome::Error;
        const auto elapsed = std::chrono::steady_clock::now() - started;
        ServerMetrics::instance().recordRequest(
            key, outcome, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    }

    const void *key;
    Log::ContextScope logFields;
    const bool counting;
    std::chrono::steady_clock::time_point started;
};
