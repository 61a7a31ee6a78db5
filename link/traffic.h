#pragma once
// The traffic tap: every line that passes a socket, sent or received, on
// either leg, is published once as one record. The traffic log, the live
// inspector and the headless tap subscribe to it.
//
// While a burst of lines is handled, the records wait until the burst has
// been forwarded (hold ... release): time stamps, log appends and checking
// then don't delay the forward. A batch of records published together
// shares one time.

#include "check/protocolchecker.h"
#include "link/linesplitter.h"

#include <QByteArray>
#include <QLatin1String>
#include <QTime>

#include <functional>
#include <utility>
#include <vector>

struct TrafficRecord {
    TrafficRecord() = default;
    TrafficRecord(check::Leg leg, check::Direction dir, QByteArray line, QLatin1String marker,
                  bool own = false, bool onWire = true)
        : leg(leg), dir(dir), line(std::move(line)), marker(marker), own(own), onWire(onWire)
    { }

    check::Leg leg = check::Leg::Operator; // the server link, or the relay client's connection
    check::Direction dir = check::Direction::ToServer;
    QByteArray line; // the protocol line's bytes, without its line end
    // The direction marker of the line's own log line; null when the line is
    // the one just logged (a relay client's command on its way to the
    // server, a server line passed on).
    QLatin1String marker;
    bool own = false; // made up, altered or rewritten by this program
    bool onWire = true; // false: logged only (an answer the simulator kept in the window)
    // A relay client's line on the server's leg (its command on the way to
    // the server, a server line passed on to it): the relay leg's record of
    // the same line is the one checked, as in a saved log.
    bool relayed = false;
    // How a received line ended on the wire (CR LF for what this program
    // writes), and whether its first byte is the CR of the line before's
    // LF CR: the checker judges line ends on the line they belong to.
    LineSplitter::Ending ending = LineSplitter::Ending::CrLf;
    bool leadingCr = false;
    // Filled in when it is published: the batch's time, and the log line
    // the record got (-1 when none, or freeze or the filter kept it out).
    QTime time;
    qint64 clockUs = 0; // a monotonic clock, for the checker's timings
    qint64 logLine = -1;
};

class TrafficTap {
public:
    TrafficTap();

    // The log: appends the record's line and gives its index (or -1).
    void setLog(std::function<qint64(const TrafficRecord &)> log) { logLine = std::move(log); }
    // Everything else that listens, in order, after the log.
    void subscribe(std::function<void(const TrafficRecord &)> subscriber);
    // Around each batch of records published together.
    void setBatchHandlers(std::function<void(const TrafficRecord &first)> begin, std::function<void()> end)
    {
        onBatchBegin = std::move(begin);
        onBatchEnd = std::move(end);
    }

    void publish(TrafficRecord record);
    void hold() { ++holds; }
    void release()
    {
        if (--holds == 0)
            flush();
    }
    // Publishes what waits, if anything.
    void flush();
    // The log was cleared: no record refers to a line before this.
    void logCleared() { lastLogLine = -1; }

private:
    void deliver(TrafficRecord &record);

    std::function<qint64(const TrafficRecord &)> logLine;
    std::vector<std::function<void(const TrafficRecord &)>> subscribers;
    std::function<void(const TrafficRecord &)> onBatchBegin;
    std::function<void()> onBatchEnd;
    std::vector<TrafficRecord> queue;
    int holds = 0;
    qint64 lastLogLine = -1;
};

// The clock of TrafficRecord::clockUs.
qint64 TrafficClockUs();
