#pragma once
// Client replay: the recording plays the client against a server. The
// recorded commands go out with fresh tags, each after the previous one's
// '&' (StartSession's and AbortE's '%'), as a well-behaved client paces
// them, with the recorded think-time scaled by the speed. Each reply is held
// against the recorded one, and the events between two commands against
// those the recording has there. Stopping sends AbortE, ClearAllErrors, then
// EndSession. No sockets here: the owner hands in the server's lines and
// writes what comes out.

#include "replay/diff.h"
#include "replay/recording.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>

namespace replay {

struct ClientOptions {
    double speed = 1; // 0: as soon as the pacing allows
    DiffOptions diff;
    bool keepGoing = false; // a severe server error doesn't stop the replay
    // How long the stop waits for each of its answers.
    int stopWaitMs = 2000;
    // A server that sends nothing for this long while commands are open has
    // gone silent: the replay ends (0: it waits for ever).
    int silenceMs = 30000;
};

class ClientReplay : public QObject {
    Q_OBJECT
public:
    ClientReplay(Recording &recording, const ClientOptions &options, QObject *parent = nullptr);

    void setOutput(std::function<void(const QByteArray &line)> write) { writeLine = std::move(write); }

    // The connection stands: the first command goes out.
    void start();
    // One line from the server.
    void serverLine(const QByteArray &line);
    // Ends the replay early: AbortE, then a clean EndSession.
    void stop(const QByteArray &why);
    // The server went away; what is open stays unanswered.
    void serverGone();

    bool isFinished() const { return done; }
    bool stopped() const { return !stopReason.isEmpty(); }
    // The server sent nothing for ClientOptions::silenceMs with commands open.
    bool timedOut() const { return silent; }
    // The positions the owner gives its written lines (a log line, say), for
    // the diff's entries; without it they have none.
    void setPositions(std::function<qint64()> lastWritten) { positionOfLast = std::move(lastWritten); }
    const QByteArray &stopReasonText() const { return stopReason; }
    const Diff &diff() const { return result; }
    Diff &diff() { return result; }

Q_SIGNALS:
    void progress(qint64 done, qint64 total);
    // The replay is over (all answered, stopped, or the server gone): close
    // the connection.
    void finished();

private:
    struct Sent {
        RecordedTxn recorded;
        QByteArray line;
        qint64 sentUs = 0, ackUs = -1, doneUs = -1;
        qint64 position = -1;
        std::vector<QByteArray> replies; // bodies
        // The events after it compared with the recorded ones, once the
        // next command went out.
        std::vector<LineChange> eventChanges;
        bool eventsSettled = false;
    };
    void sendNext();
    void complete(quint32 key);
    QByteArray freshTag(bool event);
    void stopStep();
    void sendStop(const QByteArray &command);
    void end();
    // The events since the last command went out, held against those the
    // recording has after it; its entry is filed once both are known.
    void settleEvents();
    void file(DiffEntry e);
    void silenceTimeout();

    Recording &rec;
    ClientOptions opt;
    std::function<void(const QByteArray &)> writeLine;
    std::function<qint64()> positionOfLast;
    QTimer thinkTimer, stopTimer, silenceTimer;
    QHash<quint32, Sent> open;
    qint64 next = 0; // the recorded transaction to send next
    qint64 completed = 0;
    quint32 paceKey = 0; // the command whose '&' (or '%') the next one waits for
    bool paceOnDone = false;
    qint64 paceUs = -1; // when the pacing point came
    qint64 lastPaceOffsetUs = -1; // the recorded time of the previous pacing point
    qint64 prevCommandUs = -1;
    int tagNo = 0, eventNo = 0;
    enum class Stop { None, Aborting, Clearing, Ending } stopState = Stop::None;
    QByteArray stopTag;
    QByteArray stopReason;
    bool done = false, allSent = false, silent = false;
    quint32 lastKey = 0; // the last recorded command sent
    std::vector<RecordedEvent> lastRecordedEvents; // what the recording has after it
    std::vector<QByteArray> windowEvents; // what came since it went out
    bool havePending = false; // its entry, complete, waits for its events
    DiffEntry pending;
    Diff result;
};

} // namespace replay
