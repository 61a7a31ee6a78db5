#pragma once
// Finding text in the traffic log. The search reads the log's 8-bit lines
// directly and never holds the event loop for long: a search or a count runs
// in short slices, continued on a zero-time timer, so even a log of ten
// million lines stays responsive while it is searched.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

class TrafficLogView;

// One search text and its letter case rule, matched against 8-bit bytes.
// Without case, Latin-1 letters match their other case (A-Z, À-Þ but ×).
class LogMatcher {
public:
    LogMatcher() = default;
    // A text with characters beyond Latin-1 matches nothing.
    LogMatcher(const QString &text, bool caseSensitive);

    bool isEmpty() const { return needle.isEmpty() && !impossible; }
    bool matchesNothing() const { return needle.isEmpty(); }
    qsizetype size() const { return needle.size(); }
    bool caseSensitive() const { return exact; }

    // The first match that starts at or after `from`, -1 for none.
    qsizetype indexIn(const char *data, qsizetype length, qsizetype from = 0) const;
    // Calls f(start) for each match in the line, left to right, each one
    // after the end of the previous one; stops when f returns false.
    void forEachMatch(const char *data, qsizetype length, const std::function<bool(qsizetype)> &f) const;
    int countIn(const char *data, qsizetype length) const;

    static uchar fold(uchar c);

private:
    QByteArray needle; // folded when the case does not matter
    bool exact = true;
    bool impossible = false;
};

// Where a match starts: line and byte column.
struct LogMatch {
    int line = -1;
    qsizetype column = 0;
    bool isValid() const { return line >= 0; }
    bool operator==(const LogMatch &o) const { return line == o.line && column == o.column; }
    bool operator!=(const LogMatch &o) const { return !(*this == o); }
};

class LogSearch : public QObject {
    Q_OBJECT
public:
    explicit LogSearch(TrafficLogView *view, QObject *parent = nullptr);

    // A new text: finds its first match at or after `from` and counts all
    // of them. An empty text stops everything and finds nothing.
    void setPattern(const QString &text, bool caseSensitive, LogMatch from);
    const LogMatcher &matcher() const { return match; }

    enum Direction { Forward, Backward };
    // The next or previous match from the current one (or from `from` when
    // there is none yet), round the end of the log.
    void step(Direction direction, LogMatch from = LogMatch());

    LogMatch current() const { return cur; }
    bool searching() const { return findTimer.isActive(); }
    // How many matches the log holds, counted so far.
    qint64 total() const { return counted; }
    bool countComplete() const;
    // The current match's number from 1, 0 while that is not known yet.
    qint64 currentNumber() const;

    // Time a slice of work may take before the event loop gets its turn.
    static constexpr int SliceMs = 8;

Q_SIGNALS:
    // A search ended: current() is the match found, or invalid.
    void finished();
    void countChanged();

private:
    struct Range {
        int from = 0, to = 0;
    };
    void startFind(Direction direction, LogMatch from, bool inclusive);
    void findSlice();
    void countSlice();
    void restartCount();
    void clearAll();
    void resumeCount();
    // Scans lines [from, to) with f until f says stop or the slice's time is
    // up; returns the line after the last one scanned.
    int scan(int from, int to, const std::function<bool(int, const char *, qsizetype)> &f,
             const QElapsedTimer &clock) const;

    TrafficLogView *view;
    LogMatcher match;
    LogMatch cur;

    // The search under way: ranges of lines to scan in order.
    Direction dir = Forward;
    std::vector<Range> ranges;
    int pos = 0; // next line to scan in ranges.front() (forward), or the block start (backward)
    int blockEnd = 0; // backward: the end of the block under way
    LogMatch blockLast; // backward: the last match seen in the block
    int queuedSteps = 0;
    QTimer findTimer;

    // The count: matches per block of lines, so that any match's number
    // follows from a short scan.
    static constexpr int CountBlock = 4096;
    std::vector<qint64> blockCounts;
    int countedTo = 0;
    qint64 counted = 0;
    QTimer countTimer;
    mutable LogMatch numberedMatch;
    mutable qint64 number = 0;
};
