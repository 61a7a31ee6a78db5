#pragma once
// Server replay: the recording answers a client. Each command the client
// sends is matched to a recorded one and answered with the recorded reply
// lines, under the client's tag, at the recorded delays (scaled), in the
// protocol's order. A command the recording doesn't have is answered by the
// miss rule. No sockets here: the owner hands in the client's lines and
// writes what comes out, so that the headless program and the window drive
// the same object.

#include "replay/diff.h"
#include "replay/faults.h"
#include "replay/recording.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace replay {

enum class MatchMode { Strict, Any };
enum class MissRule { Error, Ack, Close };

struct ServeOptions {
    MatchMode match = MatchMode::Strict;
    double tolerance = 0;
    double speed = 1; // 0: at once
    MissRule onMiss = MissRule::Error;
};

class ServerReplay : public QObject {
    Q_OBJECT
public:
    ServerReplay(Recording &recording, const ServeOptions &options, QObject *parent = nullptr);

    // Lines to the client (without their line end), and the close.
    void setOutput(std::function<void(const QByteArray &line)> write, std::function<void()> close)
    {
        writeLine = std::move(write);
        closeClient = std::move(close);
    }
    void setFaults(FaultScript *script) { faults = script; }

    // One line from the client; `position` is where its owner keeps it (a
    // log line), for the diff.
    void clientLine(const QByteArray &line, qint64 position = -1);
    // The client has gone: nothing more goes out. What the recording still
    // holds is missing; the diff is complete.
    void finish();
    const Diff &diff() const { return result; }
    Diff &diff() { return result; }
    qint64 misses() const { return missCount; }

Q_SIGNALS:
    // Recorded transactions answered, of `total` (-1 while the recording is
    // still being read).
    void progress(qint64 done, qint64 total);
    // A command the recording doesn't have.
    void missed(const QByteArray &line);

private:
    struct Out {
        QByteArray line;
        qint64 dueUs;
        char type;
    };
    struct Answer {
        bool eventTag = false;
        std::deque<Out> lines;
    };
    qint64 match(QByteArrayView normalised);
    void answer(const RecordedTxn &t, const QByteArray &tag);
    void miss(const QByteArray &line, const QByteArray &tag, const QByteArray &command, qint64 position);
    void plan(FaultPlan &p, QByteArrayView command, bool eventTag);
    qint64 scaled(qint64 offsetUs) const;
    void pump();

    Recording &rec;
    ServeOptions opt;
    FaultScript *faults = nullptr;
    std::function<void(const QByteArray &)> writeLine;
    std::function<void()> closeClient;
    QTimer timer;
    std::deque<Answer> answers; // in the order the commands came
    std::vector<Out> events; // by their own times
    qint64 next = 0; // strict: the recorded command to match next
    std::vector<char> used; // any: which of the window from `next` on were answered
    QHash<qint64, QByteArray> daemonTags; // recorded event command -> the client's tag
    qint64 answered = 0, missCount = 0;
    bool closed = false;
    Diff result;
};

} // namespace replay
