#pragma once
// What a replay did differently from its recording, transaction by
// transaction, and the three ways it is written out: text in the checker's
// style, JSON for CI and one HTML page with both sessions side by side.

#include "replay/recording.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <vector>

namespace replay {

enum class EntryKind : quint8 {
    Matched, // recorded and replayed
    Missing, // recorded, but not sent or not answered
    Extra, // replayed, not in the recording
};

struct LineChange {
    enum Kind : quint8 { Added, Removed, Changed } kind = Changed;
    QByteArray recorded, replayed; // reply bodies, without the tag
};

struct DiffEntry {
    EntryKind kind = EntryKind::Matched;
    qint64 recordedIndex = -1;
    qint64 fileLine = -1; // of the recorded command
    qint64 replayedPosition = -1; // of the replayed command, where its owner keeps it (a log line)
    QByteArray recordedCommand, replayedCommand; // whole lines, tags included
    std::vector<LineChange> lines;
    // Times from the command, in microseconds; -1 unknown.
    qint64 recordedAckUs = -1, recordedDoneUs = -1, ackUs = -1, doneUs = -1;
    bool slowAck = false, slowDone = false;
    QByteArray note; // why it is missing or extra
    bool differs() const { return kind != EntryKind::Matched || !lines.empty() || slowAck || slowDone; }
};

struct DiffOptions {
    double tolerance = 0;
    double slower = 2.0; // a time past this many times the recorded one is flagged
    // Times shorter than this count as this: a recording's millisecond
    // stamps say little below it.
    qint64 timeFloorUs = 5000;
    // And a time is slower only when it is also this much longer than the
    // recorded one: a scheduler's hiccup is no change of the server.
    qint64 minExcessUs = 5000;
};

// The changes between recorded and replayed reply bodies: the lines they
// share in order, numbers within the tolerance, and what was added,
// removed or changed around them.
std::vector<LineChange> CompareReplies(const std::vector<QByteArray> &recorded,
                                       const std::vector<QByteArray> &replayed, double tolerance);

class Diff {
public:
    // Differing entries kept for the report; past this they are counted.
    static constexpr qsizetype MaxEntries = 10000;
    // Matched entries kept for the side-by-side page.
    static constexpr qsizetype MaxMatchedKept = 2000;

    explicit Diff(const DiffOptions &o = {}) : opt(o) { }
    const DiffOptions &options() const { return opt; }
    void keepMatched(bool on) { keepAll = on; }

    // Flags the times and files the entry.
    void add(DiffEntry e);

    bool empty() const { return missing == 0 && extra == 0 && changed == 0 && slow == 0; }
    qint64 matched = 0, missing = 0, extra = 0, changed = 0, slow = 0;
    qint64 dropped = 0; // differing entries past MaxEntries
    std::vector<DiffEntry> entries; // in the order they were decided

private:
    DiffOptions opt;
    bool keepAll = false;
    qsizetype matchedKept = 0;
};

struct ReportHeader {
    QByteArray recording; // its file name
    QByteArray mode; // "serve" or "client"
    QByteArray peer; // the client or server played against
};

// "RECORDING: N transactions: ..." and one line per difference.
void PutDiffText(FILE *out, const ReportHeader &h, const Diff &d);
// The JSON record; `checker` its findings' count, `status` the exit status.
QByteArray DiffJson(const ReportHeader &h, const Diff &d, qint64 findings, int status);
// One HTML page: the recorded and the replayed session side by side.
QByteArray DiffHtml(const ReportHeader &h, const Diff &d);

} // namespace replay
