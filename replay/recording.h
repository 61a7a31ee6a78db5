#pragma once
// A recording as replay reads it: one leg's transactions, in the order their
// commands were sent, each with its reply lines and the event lines that
// came after it, with their times as offsets from the command.
//
// The recording is streamed: transactions are read from the source as the
// replay asks for them, and those it is done with are let go, so that a
// long recording takes the memory of its window, not of its length.
//
// Where the lines come from is a RecordingSource: a saved log (every format
// the checker reads), or any other source that hands the same lines to a
// check::TrafficSink one piece at a time.

#include "check/logreader.h"
#include "replay/match.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace replay {

// One line that came back, without its tag: " &", " # X(1)", " %".
struct RecordedLine {
    QByteArray body;
    qint64 offsetUs = -1; // from the command; -1 when the recording has no times
    qint64 fileLine = -1;
    char type() const { return body.size() >= 2 ? body[1] : '\0'; }
};

// An event line after a command: an E0000 line, or the report of a daemon
// that an earlier event command set up (its tag is that command's).
struct RecordedEvent {
    QByteArray line; // the whole line, recorded tag included
    qint64 offsetUs = -1; // from the command before it
    qint64 daemonOf = -1; // the transaction whose tag it carries, -1 for E0000
    qint64 fileLine = -1;
};

struct RecordedTxn {
    qint64 index = -1; // in the leg, from 0
    QByteArray tag; // as recorded
    QByteArray command; // the text after the tag and its blank
    QByteArray normalised;
    qint64 timeUs = -1;
    qint64 fileLine = -1;
    std::vector<RecordedLine> replies;
    std::vector<RecordedEvent> events;
    bool complete = false; // its '%' was recorded
    bool cut = false; // its tag was used again, or the connection ended, before its '%'
    bool eventTag() const { return tag.startsWith('E'); }
    // The offset of its first line of `type`, -1 when none or unknown.
    qint64 offsetOf(char type) const;
};

// Pushes a recording's lines into a sink, one piece at a time.
class RecordingSource {
public:
    virtual ~RecordingSource() = default;
    // False with `error` set when the source can't be read or holds no log.
    virtual bool open(check::TrafficSink &sink, QString *error) = 0;
    // One more piece; false once the end was reached (every line is in the
    // sink).
    virtual bool next() = 0;
    // What the source found wrong after the end (a truncated last line).
    virtual QString problem() const { return QString(); }
    // The file line of a last line that had no line end (it may be cut
    // anywhere), -1 when there is none.
    virtual qint64 cutLine() const { return -1; }
};

// A log on a device, in any format the checker reads, scanned one chunk at
// a time as the recording asks for more.
class DeviceSource : public RecordingSource {
public:
    explicit DeviceSource(std::unique_ptr<QIODevice> device);
    ~DeviceSource() override;
    // Opens the device for reading unless it is open already.
    bool open(check::TrafficSink &sink, QString *error) override;
    bool next() override;
    QString problem() const override;
    qint64 cutLine() const override;
    check::LogFormat format() const { return scanner ? scanner->result().format : check::LogFormat::Unknown; }

private:
    void fail();
    std::unique_ptr<QIODevice> dev;
    std::unique_ptr<check::LogScanner> scanner;
    QByteArray chunk;
    qint64 filled = 0; // bytes in `chunk` not yet scanned
    bool ended = false;
};

// A saved traffic log.
class LogFileSource : public DeviceSource {
public:
    explicit LogFileSource(const QString &path);
};

// Lines held elsewhere, one at a time by their index (a traffic log on
// screen), read as a saved log of the same lines would be.
class LinesSource : public RecordingSource {
public:
    // Lines from 0 to `count`; each without its line end.
    LinesSource(std::function<QByteArray(qint64)> line, qint64 count);
    ~LinesSource() override;
    bool open(check::TrafficSink &sink, QString *error) override;
    bool next() override;

private:
    QByteArray piece(qsizetype bytes);
    std::function<QByteArray(qint64)> lineAt;
    qint64 count, nextLine = 0;
    std::unique_ptr<check::LogScanner> scanner;
    QByteArray head; // the first piece, fed again by the first next()
    bool ended = false;
};

enum class LegChoice { Auto, Operator, Relay };

class Recording : private check::TrafficSink {
public:
    // At most this many transactions are kept ahead of the replay when it
    // looks for a command out of order.
    static constexpr qint64 LookAhead = 10000;

    explicit Recording(std::unique_ptr<RecordingSource> source, LegChoice leg = LegChoice::Auto);
    ~Recording() override;

    // Reads the start. False with `error` set when the recording can't be
    // read, is no log, or holds no command on the chosen leg.
    bool open(QString *error);
    check::Leg leg() const { return chosen; }

    // Transaction `i` once it is complete (its '%', its events up to the next
    // command), reading on as needed; null past the end, or when it was let go.
    const RecordedTxn *at(qint64 i);
    // Transactions before `i` are no longer needed.
    void release(qint64 i);
    // Read to the end: every transaction is known (and the count final).
    bool atEnd() const { return ended; }
    qint64 known() const { return base + qint64(legs[int(chosen)].txns.size()); }

    // What the reading found: lines that answer no recorded command, lines
    // that are no protocol line, the source's own problem.
    qint64 orphans() const { return orphanCount; }
    qint64 unrecognised() const { return unrecognisedCount; }
    QString problem() const { return source->problem(); }
    // The first few orphan lines, for the message.
    const QList<qint64> &orphanLines() const { return orphanAt; }

private:
    struct LegData {
        std::deque<RecordedTxn> txns;
        qint64 commands = 0;
        QHash<quint32, qint64> open; // tag key -> index of the open transaction
        QHash<quint32, qint64> daemons; // tag key -> completed event command
    };
    void connectionReset(check::Leg leg, qint64 position, check::StreamStart start) override;
    void traffic(check::Leg leg, check::Direction dir, qint64 timeUs, QByteArrayView text, qint64 fullLength,
                 qint64 position, check::LineEnd end) override;
    // The source's end: a last line cut off mid-way is let go.
    void finish();
    bool ready(qint64 i) const;
    bool readMore();
    void choose();
    RecordedTxn *find(LegData &d, qint64 index);

    std::unique_ptr<RecordingSource> source;
    LegChoice choice;
    check::Leg chosen = check::Leg::Operator;
    bool decided = false;
    LegData legs[check::LegCount];
    qint64 base = 0; // index of window.front()
    bool ended = false;
    qint64 orphanCount = 0, unrecognisedCount = 0;
    QList<qint64> orphanAt;
    // The texts most lines share, kept once: tags by their key, the bare
    // '&' and '%' bodies.
    std::vector<QByteArray> tags;
    QByteArray ackBody = " &", doneBody = " %";
};

} // namespace replay
