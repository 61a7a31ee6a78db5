#include "log/logsearch.h"

#include "log/logview.h"

#include <cstring>

namespace {
// Bytes a slice scans between two looks at the clock: a few hundred
// microseconds of work, however long the lines are.
constexpr qsizetype CheckBytes = 256 * 1024;
constexpr int CheckLines = 1024;
// Lines a backward search scans forward at a time, keeping the last match.
constexpr int BackwardBlock = 4096;

struct FoldTable {
    uchar map[256];
    constexpr FoldTable() : map()
    {
        for (int c = 0; c < 256; ++c) {
            const bool upper = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
            map[c] = uchar(upper ? c + 0x20 : c);
        }
    }
};
constexpr FoldTable Folding;
} // namespace

uchar LogMatcher::fold(uchar c)
{
    return Folding.map[c];
}

LogMatcher::LogMatcher(const QString &text, bool caseSensitive) : exact(caseSensitive)
{
    for (QChar ch : text)
        if (ch.unicode() > 0xFF) {
            impossible = true;
            return;
        }
    needle = text.toLatin1();
    if (!exact)
        for (char &c : needle)
            c = char(fold(uchar(c)));
}

qsizetype LogMatcher::indexIn(const char *data, qsizetype length, qsizetype from) const
{
    const qsizetype m = needle.size();
    if (m == 0 || from < 0)
        return -1;
    const char *n = needle.constData();
    if (exact) {
        qsizetype i = from;
        while (i + m <= length) {
            const void *hit = std::memchr(data + i, n[0], size_t(length - m + 1 - i));
            if (!hit)
                return -1;
            i = static_cast<const char *>(hit) - data;
            if (std::memcmp(data + i + 1, n + 1, size_t(m - 1)) == 0)
                return i;
            ++i;
        }
        return -1;
    }
    const uchar first = uchar(n[0]);
    for (qsizetype i = from; i + m <= length; ++i) {
        if (Folding.map[uchar(data[i])] != first)
            continue;
        qsizetype k = 1;
        while (k < m && Folding.map[uchar(data[i + k])] == uchar(n[k]))
            ++k;
        if (k == m)
            return i;
    }
    return -1;
}

void LogMatcher::forEachMatch(const char *data, qsizetype length,
                              const std::function<bool(qsizetype)> &f) const
{
    qsizetype at = 0;
    while ((at = indexIn(data, length, at)) >= 0) {
        if (!f(at))
            return;
        at += needle.size();
    }
}

int LogMatcher::countIn(const char *data, qsizetype length) const
{
    int n = 0;
    qsizetype at = 0;
    while ((at = indexIn(data, length, at)) >= 0) {
        ++n;
        at += needle.size();
    }
    return n;
}

LogSearch::LogSearch(TrafficLogView *logView, QObject *parent) : QObject(parent), view(logView)
{
    findTimer.setSingleShot(true);
    findTimer.setInterval(0);
    countTimer.setSingleShot(true);
    countTimer.setInterval(0);
    connect(&findTimer, &QTimer::timeout, this, &LogSearch::findSlice);
    connect(&countTimer, &QTimer::timeout, this, &LogSearch::countSlice);
    connect(view, &TrafficLogView::flushed, this, &LogSearch::resumeCount);
    connect(view, &TrafficLogView::aboutToClear, this, &LogSearch::clearAll);
    // Lines gone from the start: everything is worked out afresh.
    connect(view, &TrafficLogView::linesDiscarded, this, &LogSearch::clearAll);
}

void LogSearch::setPattern(const QString &text, bool caseSensitive, LogMatch from)
{
    match = LogMatcher(text, caseSensitive);
    findTimer.stop();
    ranges.clear();
    queuedSteps = 0;
    cur = LogMatch();
    restartCount();
    if (match.matchesNothing()) {
        Q_EMIT countChanged();
        Q_EMIT finished();
        return;
    }
    startFind(Forward, from, true);
}

void LogSearch::step(Direction direction, LogMatch from)
{
    if (match.matchesNothing())
        return;
    if (findTimer.isActive() && direction == dir) {
        ++queuedSteps; // taken once the search under way has ended
        return;
    }
    queuedSteps = 0;
    if (cur.isValid())
        startFind(direction, cur, false);
    else
        startFind(direction, from, direction == Forward);
}

void LogSearch::startFind(Direction direction, LogMatch from, bool inclusive)
{
    dir = direction;
    ranges.clear();
    findTimer.stop();
    const int n = view->lineCount();
    if (n == 0 || match.matchesNothing()) {
        cur = LogMatch();
        Q_EMIT finished();
        return;
    }
    const int line = from.isValid() ? qBound(0, from.line, n - 1) : 0;
    const qsizetype column = from.isValid() && from.line < n ? from.column : 0;

    // The start line itself: a match behind (or before) the start column.
    LogMatch found;
    view->forEachLine(line, line + 1, [&](int, const char *data, qsizetype length) {
        match.forEachMatch(data, length, [&](qsizetype at) {
            if (direction == Forward) {
                if (at > column || (inclusive && at == column)) {
                    found = {line, at};
                    return false;
                }
                return true;
            }
            if (at < column || (inclusive && at == column)) {
                found = {line, at};
                return true;
            }
            return false;
        });
        return false;
    });
    if (found.isValid()) {
        cur = found;
        // Still through the event loop, so that a step always ends the same way.
        ranges.clear();
        findTimer.start();
        return;
    }
    // Then the rest of the log, round its end, back to the start line.
    if (direction == Forward) {
        ranges.push_back({line + 1, n});
        ranges.push_back({0, line + 1});
        pos = line + 1;
    } else {
        ranges.push_back({0, line});
        ranges.push_back({line, n});
        blockEnd = line;
        pos = qMax(0, blockEnd - BackwardBlock);
        blockLast = LogMatch();
    }
    cur = LogMatch();
    findTimer.start();
}

int LogSearch::scan(int from, int to, const std::function<bool(int, const char *, qsizetype)> &f,
                    const QElapsedTimer &clock) const
{
    int next = from;
    qsizetype bytes = 0;
    int lines = 0;
    view->forEachLine(from, to, [&](int index, const char *data, qsizetype length) {
        next = index + 1;
        if (!f(index, data, length))
            return false;
        bytes += length;
        if (++lines >= CheckLines || bytes >= CheckBytes) {
            lines = 0;
            bytes = 0;
            if (clock.elapsed() >= SliceMs)
                return false;
        }
        return true;
    });
    return qMax(next, qMin(from, to));
}

void LogSearch::findSlice()
{
    QElapsedTimer clock;
    clock.start();
    LogMatch found = cur; // set when the start line held the match
    while (!found.isValid() && !ranges.empty() && clock.elapsed() < SliceMs) {
        const Range r = ranges.front();
        if (dir == Forward) {
            pos = scan(
                qMax(pos, r.from), r.to,
                [&](int index, const char *data, qsizetype length) {
                    const qsizetype at = match.indexIn(data, length);
                    if (at >= 0)
                        found = {index, at};
                    return at < 0;
                },
                clock);
            if (!found.isValid() && pos >= r.to) {
                ranges.erase(ranges.begin());
                if (!ranges.empty())
                    pos = ranges.front().from;
            }
            continue;
        }
        // Backward: each block is scanned forward and its last match kept.
        const int blockStart = qMax(r.from, blockEnd - BackwardBlock);
        pos = scan(
            qMax(pos, blockStart), blockEnd,
            [&](int index, const char *data, qsizetype length) {
                match.forEachMatch(data, length, [&](qsizetype at) {
                    blockLast = {index, at};
                    return true;
                });
                return true;
            },
            clock);
        if (pos < blockEnd)
            continue; // the slice's time is up
        if (blockLast.isValid()) {
            found = blockLast;
            break;
        }
        blockEnd = blockStart;
        if (blockEnd <= r.from) {
            ranges.erase(ranges.begin());
            if (!ranges.empty())
                blockEnd = ranges.front().to;
        }
        pos = qMax(ranges.empty() ? 0 : ranges.front().from, blockEnd - BackwardBlock);
        blockLast = LogMatch();
    }
    if (!found.isValid() && !ranges.empty()) {
        findTimer.start();
        return;
    }
    ranges.clear();
    cur = found;
    if (found.isValid() && queuedSteps > 0) {
        --queuedSteps;
        startFind(dir, cur, false);
        return;
    }
    queuedSteps = 0;
    Q_EMIT finished();
}

void LogSearch::restartCount()
{
    countTimer.stop();
    blockCounts.clear();
    countedTo = 0;
    counted = 0;
    numberedMatch = LogMatch();
    number = 0;
    if (!match.matchesNothing())
        countTimer.start();
}

void LogSearch::resumeCount()
{
    if (!match.matchesNothing() && countedTo < view->lineCount() && !countTimer.isActive())
        countTimer.start();
}

void LogSearch::countSlice()
{
    QElapsedTimer clock;
    clock.start();
    const int end = view->lineCount();
    while (countedTo < end && clock.elapsed() < SliceMs) {
        countedTo = scan(
            countedTo, end,
            [this](int index, const char *data, qsizetype length) {
                if (const int k = match.countIn(data, length)) {
                    const size_t block = size_t(index / CountBlock);
                    if (blockCounts.size() <= block)
                        blockCounts.resize(block + 1, 0);
                    blockCounts[block] += k;
                    counted += k;
                }
                return true;
            },
            clock);
    }
    if (countedTo < end)
        countTimer.start();
    Q_EMIT countChanged();
}

bool LogSearch::countComplete() const
{
    return countedTo >= view->lineCount();
}

qint64 LogSearch::currentNumber() const
{
    if (!cur.isValid() || cur.line >= countedTo)
        return 0;
    if (numberedMatch == cur)
        return number;
    const int block = cur.line / CountBlock;
    qint64 n = 0;
    for (int b = 0; b < block && size_t(b) < blockCounts.size(); ++b)
        n += blockCounts[size_t(b)];
    view->forEachLine(block * CountBlock, cur.line, [&](int, const char *data, qsizetype length) {
        n += match.countIn(data, length);
        return true;
    });
    view->forEachLine(cur.line, cur.line + 1, [&](int, const char *data, qsizetype length) {
        match.forEachMatch(data, length, [&](qsizetype at) {
            if (at >= cur.column)
                return false;
            ++n;
            return true;
        });
        return false;
    });
    numberedMatch = cur;
    number = n + 1;
    return number;
}

void LogSearch::clearAll()
{
    findTimer.stop();
    ranges.clear();
    queuedSteps = 0;
    cur = LogMatch();
    restartCount();
    Q_EMIT countChanged();
    Q_EMIT finished();
}
