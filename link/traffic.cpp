#include "link/traffic.h"

#include "log/timestamp.h"

#include <QElapsedTimer>

qint64 TrafficClockUs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed() / 1000;
}

TrafficTap::TrafficTap() = default;

void TrafficTap::subscribe(std::function<void(const TrafficRecord &)> subscriber)
{
    subscribers.push_back(std::move(subscriber));
}

void TrafficTap::publish(TrafficRecord record)
{
    if (holds > 0) {
        queue.push_back(std::move(record));
        return;
    }
    flush();
    record.time = LocalTimeNow();
    record.clockUs = TrafficClockUs();
    if (onBatchBegin)
        onBatchBegin(record);
    deliver(record);
    if (onBatchEnd)
        onBatchEnd();
}

void TrafficTap::flush()
{
    if (queue.empty())
        return;
    std::vector<TrafficRecord> batch;
    batch.swap(queue);
    // The burst arrived in one piece: its lines share one time.
    const QTime time = LocalTimeNow();
    const qint64 clockUs = TrafficClockUs();
    batch.front().time = time;
    batch.front().clockUs = clockUs;
    if (onBatchBegin)
        onBatchBegin(batch.front());
    for (TrafficRecord &r : batch) {
        r.time = time;
        r.clockUs = clockUs;
        deliver(r);
    }
    if (onBatchEnd)
        onBatchEnd();
    // The vector's room is kept for the next burst.
    batch.clear();
    if (queue.empty())
        queue.swap(batch);
}

void TrafficTap::deliver(TrafficRecord &record)
{
    if (record.marker.data())
        lastLogLine = logLine ? logLine(record) : -1;
    record.logLine = lastLogLine;
    for (const auto &s : subscribers)
        s(record);
}
