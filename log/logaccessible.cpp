#include "log/logaccessible.h"

#include "log/logdisplay.h"
#include "log/logview.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetricsF>
#include <QtMath>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <algorithm>
#include <climits>

namespace {

QAccessibleInterface *LogAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("TrafficLogView"))
        if (auto *view = qobject_cast<TrafficLogView *>(object))
            return new LogAccessible(view);
    return nullptr;
}

LogTextIndex::EventSink eventSink = nullptr;

bool Listening()
{
    return eventSink || QAccessible::isActive();
}

void Send(QAccessibleEvent *event)
{
    if (eventSink)
        eventSink(event);
    else
        QAccessible::updateAccessibility(event);
}

int ClampOffset(qint64 v)
{
    return int(qBound(qint64(INT_MIN), v, qint64(INT_MAX)));
}

} // namespace

void InstallLogAccessibility()
{
    static bool installed = false;
    if (!installed) {
        QAccessible::installFactory(LogAccessibleFactory);
        installed = true;
    }
}

// ---- LogTextIndex -------------------------------------------------------

void LogTextIndex::setEventSink(EventSink sink)
{
    eventSink = sink;
}

LogTextIndex *LogTextIndex::of(TrafficLogView *view)
{
    if (auto *index = view->findChild<LogTextIndex *>(QString(), Qt::FindDirectChildrenOnly))
        return index;
    return new LogTextIndex(view);
}

LogTextIndex::LogTextIndex(TrafficLogView *logView)
    : QObject(logView), view(logView), port(logView->viewport())
{
    reported = view->lineCount();
    caretLine = view->cursorLine();
    selFirst = view->selectionFirst();
    selLast = view->selectionLast();
    connect(view, &TrafficLogView::flushed, this, &LogTextIndex::linesFlushed);
    connect(view, &TrafficLogView::aboutToClear, this, &LogTextIndex::aboutToClear);
    // Lines gone from the start: everything is worked out afresh.
    connect(view, &TrafficLogView::linesDiscarded, this, &LogTextIndex::aboutToClear);
    // Every change of the text cursor or the selection repaints the view.
    port->installEventFilter(this);
}

void LogTextIndex::extend()
{
    const int n = view->lineCount();
    if (indexed >= n)
        return;
    view->forEachLine(indexed, n, [this](int i, const char *, qsizetype length) {
        if (i % Block == 0)
            blockStart.push_back(indexedEnd);
        indexedEnd += length + 1;
        return true;
    });
    indexed = n;
}

qint64 LogTextIndex::lineStart(int line)
{
    extend();
    line = qBound(0, line, indexed);
    if (line == indexed)
        return indexedEnd;
    const int block = line / Block;
    qint64 offset = blockStart[size_t(block)];
    view->forEachLine(block * Block, line, [&offset](int, const char *, qsizetype length) {
        offset += length + 1;
        return true;
    });
    return offset;
}

qint64 LogTextIndex::characterCount()
{
    extend();
    return indexed == 0 ? 0 : indexedEnd - 1;
}

int LogTextIndex::lineAt(qint64 offset)
{
    extend();
    if (indexed == 0 || offset <= 0)
        return 0;
    const auto it = std::upper_bound(blockStart.begin(), blockStart.end(), offset);
    const int block = int(it - blockStart.begin()) - 1;
    qint64 start = blockStart[size_t(block)];
    int found = indexed - 1;
    view->forEachLine(block * Block, indexed, [&](int i, const char *, qsizetype length) {
        if (offset < start + length + 1) {
            found = i;
            return false;
        }
        start += length + 1;
        return true;
    });
    return found;
}

void LogTextIndex::linesFlushed()
{
    const int n = view->lineCount();
    if (!Listening() || n <= reported) {
        reported = n;
        return;
    }
    // One event for the whole burst.
    QString inserted;
    if (reported > 0)
        inserted += QLatin1Char('\n');
    view->forEachLine(reported, n, [&](int i, const char *data, qsizetype length) {
        if (i > reported)
            inserted += QLatin1Char('\n');
        inserted += QLatin1String(data, length);
        return true;
    });
    const qint64 at = reported > 0 ? lineStart(reported) - 1 : 0;
    reported = n;
    QAccessibleTextInsertEvent event(view, ClampOffset(at), inserted);
    event.setCursorPosition(ClampOffset(lineStart(view->cursorLine())));
    Send(&event);
}

void LogTextIndex::aboutToClear()
{
    const qint64 count = Listening() && reported > 0 ? lineStart(reported) - 1 : 0;
    blockStart.clear();
    indexed = 0;
    indexedEnd = 0;
    reported = 0;
    caretLine = selFirst = selLast = -1;
    if (count > 0 && count < INT_MAX) {
        // The removed text is gone by the time a client reads the event:
        // the right number of characters, as blanks.
        QAccessibleTextRemoveEvent event(view, 0, QString(qsizetype(count), QLatin1Char(' ')));
        event.setCursorPosition(0);
        Send(&event);
    }
}

bool LogTextIndex::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by the pointer kept: while the view is being destroyed its
    // viewport still sends events, and the view can't be asked any more.
    if (watched == port && event->type() == QEvent::Paint)
        reportCaret();
    return false;
}

void LogTextIndex::reportCaret()
{
    if (!Listening())
        return;
    const int caret = view->cursorLine();
    const int first = view->linesMarked() ? view->selectionFirst() : -1;
    const int last = view->linesMarked() ? view->selectionLast() : -1;
    if (caret != caretLine) {
        caretLine = caret;
        QAccessibleTextCursorEvent event(view, ClampOffset(lineStart(qMax(0, caret))));
        Send(&event);
    }
    if (first != selFirst || last != selLast) {
        selFirst = first;
        selLast = last;
        const int start = first < 0 ? 0 : ClampOffset(lineStart(first));
        const int end = first < 0 ? 0 : ClampOffset(lineStart(last + 1) - 1);
        QAccessibleTextSelectionEvent event(view, start, end);
        Send(&event);
    }
}

// ---- LogAccessible ------------------------------------------------------

LogAccessible::LogAccessible(TrafficLogView *view) : QAccessibleWidget(view, QAccessible::EditableText) { }

TrafficLogView *LogAccessible::log() const
{
    return static_cast<TrafficLogView *>(widget());
}

LogTextIndex *LogAccessible::index() const
{
    return LogTextIndex::of(log());
}

QAccessible::State LogAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.editable = false;
    s.multiLine = true;
    s.selectableText = true;
    s.focusable = true;
    return s;
}

void *LogAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

void LogAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || selectionCount() == 0)
        return;
    LogTextIndex *ix = index();
    *startOffset = ClampOffset(ix->lineStart(log()->selectionFirst()));
    *endOffset = ClampOffset(ix->lineStart(log()->selectionLast() + 1) - 1);
}

int LogAccessible::selectionCount() const
{
    return log()->linesMarked() && log()->lineCount() > 0 ? 1 : 0;
}

void LogAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void LogAccessible::removeSelection(int selectionIndex)
{
    // The log always shows its text-cursor line as selected; what can go is
    // a selection of several lines.
    if (selectionIndex == 0 && selectionCount() > 0)
        log()->setCursorLine(log()->cursorLine());
}

void LogAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex != 0 || log()->lineCount() == 0)
        return;
    LogTextIndex *ix = index();
    const int first = ix->lineAt(qMin(startOffset, endOffset));
    const int last = ix->lineAt(qMax(startOffset, qMax(startOffset, endOffset) - 1));
    log()->selectLines(first, last);
}

int LogAccessible::cursorPosition() const
{
    return log()->lineCount() == 0 ? 0 : ClampOffset(index()->lineStart(log()->cursorLine()));
}

void LogAccessible::setCursorPosition(int position)
{
    if (log()->lineCount() == 0)
        return;
    const int line = index()->lineAt(position);
    log()->setCursorLine(line);
    log()->showLine(line);
}

QString LogAccessible::text(int startOffset, int endOffset) const
{
    LogTextIndex *ix = index();
    const qint64 count = ix->characterCount();
    const qint64 end = endOffset < 0 ? count : qMin(qint64(endOffset), count);
    const qint64 start = qBound(qint64(0), qint64(startOffset), end);
    if (start >= end)
        return QString();
    QString out;
    out.reserve(qsizetype(end - start));
    const int line = ix->lineAt(start);
    qint64 column = start - ix->lineStart(line);
    const qsizetype want = qsizetype(end - start);
    log()->forEachLine(line, log()->lineCount(), [&](int, const char *data, qsizetype length) {
        const qsizetype take = qMin(length - qsizetype(column), want - out.size());
        if (take > 0)
            out += QLatin1String(data + column, take);
        if (out.size() < want)
            out += QLatin1Char('\n');
        column = 0;
        return out.size() < want;
    });
    return out;
}

void LogAccessible::segmentAt(qint64 offset, QAccessible::TextBoundaryType type, qint64 *start,
                              qint64 *end) const
{
    LogTextIndex *ix = index();
    const qint64 count = ix->characterCount();
    if (type == QAccessible::NoBoundary) {
        *start = 0;
        *end = count;
        return;
    }
    if (offset < 0 || offset >= count) {
        *start = *end = qBound(qint64(0), offset, count);
        return;
    }
    if (type == QAccessible::CharBoundary) {
        *start = offset;
        *end = offset + 1;
        return;
    }
    const int line = ix->lineAt(offset);
    const qint64 lineBegin = ix->lineStart(line);
    if (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary) {
        *start = lineBegin;
        *end = qMin(ix->lineStart(line + 1), count); // with its LF, the last line without
        return;
    }
    // Words and sentences stay within their line; a line's LF stands alone.
    const QString text = QString::fromLatin1(log()->lineBytes(line));
    const qsizetype column = qsizetype(offset - lineBegin);
    if (column >= text.size()) {
        *start = offset;
        *end = offset + 1;
        return;
    }
    QTextBoundaryFinder finder(
        type == QAccessible::WordBoundary ? QTextBoundaryFinder::Word : QTextBoundaryFinder::Sentence, text);
    finder.setPosition(column);
    qsizetype from = column;
    if (!finder.isAtBoundary())
        from = qMax(qsizetype(0), finder.toPreviousBoundary());
    finder.setPosition(column);
    qsizetype to = finder.toNextBoundary();
    if (to < 0)
        to = text.size();
    *start = lineBegin + from;
    *end = lineBegin + to;
}

QString LogAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                                    int *endOffset) const
{
    qint64 s = 0, e = 0;
    segmentAt(offset, boundaryType, &s, &e);
    *startOffset = ClampOffset(s);
    *endOffset = ClampOffset(e);
    return text(*startOffset, *endOffset);
}

QString LogAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                        int *startOffset, int *endOffset) const
{
    qint64 s = 0, e = 0;
    segmentAt(offset, boundaryType, &s, &e);
    if (offset >= characterCount() && boundaryType != QAccessible::NoBoundary)
        s = characterCount(); // after the end: the last segment comes before
    if (s <= 0 || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = 0;
        return QString();
    }
    segmentAt(s - 1, boundaryType, &s, &e);
    *startOffset = ClampOffset(s);
    *endOffset = ClampOffset(e);
    return text(*startOffset, *endOffset);
}

QString LogAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                       int *startOffset, int *endOffset) const
{
    const qint64 count = characterCount();
    qint64 s = 0, e = 0;
    segmentAt(offset, boundaryType, &s, &e);
    if (e >= count || boundaryType == QAccessible::NoBoundary || offset < 0) {
        *startOffset = *endOffset = ClampOffset(count);
        return QString();
    }
    segmentAt(e, boundaryType, &s, &e);
    *startOffset = ClampOffset(s);
    *endOffset = ClampOffset(e);
    return text(*startOffset, *endOffset);
}

int LogAccessible::characterCount() const
{
    return ClampOffset(index()->characterCount());
}

QRect LogAccessible::characterRect(int offset) const
{
    LogTextIndex *ix = index();
    if (offset < 0 || offset > ix->characterCount() || log()->lineCount() == 0)
        return QRect();
    TrafficLogView *view = log();
    const int line = ix->lineAt(offset);
    const QByteArray bytes = view->lineBytes(line);
    const qsizetype column = qMin(qsizetype(offset - ix->lineStart(line)), bytes.size());
    const QFontMetricsF fm(view->font());
    const int x0 = qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), column)));
    const int x1 = column < bytes.size()
        ? qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), column + 1)))
        : qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), column) + QLatin1Char(' ')));
    const int x = TrafficLogView::TextMargin - view->horizontalScrollBar()->value() + x0;
    const int y = TrafficLogView::TextMargin + (line - view->firstVisibleLine()) * view->lineHeight();
    return QRect(view->viewport()->mapToGlobal(QPoint(x, y)), QSize(qMax(1, x1 - x0), view->lineHeight()));
}

int LogAccessible::offsetAtPoint(const QPoint &point) const
{
    TrafficLogView *view = log();
    const QPoint local = view->viewport()->mapFromGlobal(point);
    if (!view->viewport()->rect().contains(local) || local.y() < TrafficLogView::TextMargin)
        return -1;
    const int line = view->firstVisibleLine() + (local.y() - TrafficLogView::TextMargin) / view->lineHeight();
    if (line >= view->lineCount())
        return -1;
    const int x = local.x() - TrafficLogView::TextMargin + view->horizontalScrollBar()->value();
    if (x < 0)
        return -1;
    // The last column whose character starts at or left of x, found the
    // same way characterRect() places it; right of the text, the line's end.
    const QByteArray bytes = view->lineBytes(line);
    const QFontMetricsF fm(view->font());
    qsizetype lo = 0, hi = bytes.size();
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        if (qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), mid))) <= x)
            lo = mid;
        else
            hi = mid - 1;
    }
    return ClampOffset(index()->lineStart(line) + lo);
}

void LogAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    LogTextIndex *ix = index();
    if (log()->lineCount() == 0 || startIndex < 0)
        return;
    const int line = ix->lineAt(startIndex);
    const qint64 begin = ix->lineStart(line);
    log()->showLine(line, qsizetype(startIndex - begin),
                    qsizetype(qMin(qint64(endIndex), ix->lineStart(line + 1) - 1) - startIndex));
}

QString LogAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}
