#include "log/logview.h"

#include "log/findbar.h"
#include "log/logaccessible.h"
#include "log/logcolours.h"
#include "log/logdisplay.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QtMath>
#include <climits>

namespace {
constexpr int Margin = TrafficLogView::TextMargin;
} // namespace

TrafficLogView::TrafficLogView(QWidget *parent) : QAbstractScrollArea(parent)
{
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    // The log starts with one empty line.
    log.append(QByteArrayView());
    repaintTimer.setSingleShot(true);
    repaintTimer.setInterval(PaintDelayMs);
    connect(&repaintTimer, &QTimer::timeout, this, &TrafficLogView::flushPending);
    InstallLogAccessibility();
}

void TrafficLogView::appendLine(const QString &line)
{
    const qint64 droppedBefore = log.droppedLines();
    appended(log.append(line), droppedBefore);
}

void TrafficLogView::appendLine(QByteArrayView line)
{
    const qint64 droppedBefore = log.droppedLines();
    appended(log.append(line), droppedBefore);
}

void TrafficLogView::appended(QByteArrayView stored, qint64 droppedBefore)
{
    widestColumns = qMax(widestColumns, int(LogDisplayColumns(stored.data(), stored.size())));
    if (log.droppedLines() != droppedBefore)
        linesDropped(log.droppedLines() - droppedBefore);
    const QString spillError = log.takeSpillError();
    if (!spillError.isEmpty())
        Q_EMIT spillFailed(spillError);
    scheduleRepaint();
}

// Lines gone from the start: the cursor, the selection and the view keep to
// the lines they were on.
void TrafficLogView::linesDropped(qint64 count)
{
    const int n = int(qMin<qint64>(count, INT_MAX));
    cursor = qMax(0, cursor - n);
    anchor = qMax(0, anchor - n);
    QScrollBar *v = verticalScrollBar();
    if (v->value() < v->maximum())
        v->setValue(qMax(0, v->value() - n));
    Q_EMIT linesDiscarded(n);
}

QString TrafficLogView::line(int index) const
{
    const QByteArrayView bytes = log.view(index);
    return QString::fromLatin1(bytes.data(), bytes.size());
}

QByteArray TrafficLogView::lineBytes(int index) const
{
    return log.lineBytes(index);
}

void TrafficLogView::forEachLine(int from, int to,
                                 const std::function<bool(int, const char *, qsizetype)> &f) const
{
    log.forEachLine(from, to, [&f](qsizetype index, const char *data, qsizetype length) {
        return f(int(index), data, length);
    });
}

bool TrafficLogView::writeTo(QIODevice &out, const std::function<bool(qint64, qint64)> &progress,
                             QString *reason) const
{
    return log.writeTo(out, progress, reason);
}

QStringList TrafficLogView::lines() const
{
    QStringList out;
    out.reserve(lineCount());
    log.forEachLine(0, lineCount(), [&out](qsizetype, const char *data, qsizetype length) {
        out << QString::fromLatin1(data, length);
        return true;
    });
    return out;
}

void TrafficLogView::clearLog()
{
    Q_EMIT aboutToClear();
    log.clear();
    widestColumns = 0;
    cursor = anchor = 0;
    marked = false;
    scheduleRepaint();
}

int TrafficLogView::cursorLine() const
{
    return lineCount() == 0 ? -1 : qBound(0, cursor, lineCount() - 1);
}

void TrafficLogView::setCursorLine(int index)
{
    cursor = anchor = qBound(0, index, qMax(0, lineCount() - 1));
    marked = true;
    viewport()->update();
}

void TrafficLogView::selectLines(int anchorLine, int cursorLine)
{
    const int last = qMax(0, lineCount() - 1);
    anchor = qBound(0, anchorLine, last);
    cursor = qBound(0, cursorLine, last);
    marked = true;
    viewport()->update();
}

int TrafficLogView::selectionFirst() const
{
    return lineCount() == 0 ? -1 : qMin(cursorLine(), qBound(0, anchor, lineCount() - 1));
}

int TrafficLogView::selectionLast() const
{
    return lineCount() == 0 ? -1 : qMax(cursorLine(), qBound(0, anchor, lineCount() - 1));
}

QString TrafficLogView::selectedText() const
{
    QStringList out;
    for (int i = selectionFirst(); i >= 0 && i <= selectionLast(); ++i)
        out << line(i);
    return out.join(QLatin1Char('\n'));
}

void TrafficLogView::scheduleRepaint()
{
    if (!repaintTimer.isActive())
        repaintTimer.start();
}

int TrafficLogView::lineHeight() const
{
    return qMax(1, fontMetrics().lineSpacing()); // never 0, even without fonts
}

int TrafficLogView::visibleLines() const
{
    return qMax(1, (viewport()->height() - Margin) / lineHeight());
}

int TrafficLogView::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

void TrafficLogView::updateScrollBars()
{
    QScrollBar *v = verticalScrollBar();
    const bool followEnd = v->value() >= v->maximum();
    v->setPageStep(visibleLines());
    v->setSingleStep(1);
    v->setRange(0, qMax(0, lineCount() - visibleLines()));
    if (followEnd)
        v->setValue(v->maximum());
    QScrollBar *h = horizontalScrollBar();
    const int charWidth = fontMetrics().horizontalAdvance(QLatin1Char('M'));
    h->setPageStep(viewport()->width());
    h->setSingleStep(charWidth * 4);
    h->setRange(0, qMax(0, widestColumns * charWidth + 2 * Margin - viewport()->width()));
}

void TrafficLogView::flushPending()
{
    repaintTimer.stop();
    updateScrollBars();
    viewport()->update();
    Q_EMIT flushed();
}

void TrafficLogView::showLine(int line, qsizetype column, qsizetype length)
{
    flushPending(); // a line just appended can be scrolled to
    QScrollBar *v = verticalScrollBar();
    const int rows = visibleLines();
    if (line < v->value() || line >= v->value() + rows)
        v->setValue(line - rows / 2);

    const QByteArray bytes = lineBytes(line);
    column = qBound(qsizetype(0), column, bytes.size());
    const QFontMetricsF fm(font());
    const int x0 = qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), column)));
    const int x1 =
        qCeil(fm.horizontalAdvance(LogDisplayText(bytes.constData(), qMin(bytes.size(), column + length))));
    QScrollBar *h = horizontalScrollBar();
    const int width = viewport()->width() - 2 * Margin;
    if (x0 < h->value() || x1 > h->value() + width)
        h->setValue(x1 - x0 > width ? x0 : qMax(0, x0 - width / 3));
}

void TrafficLogView::paintEvent(QPaintEvent *)
{
    QPainter p(viewport());
    p.setFont(font());
    const int h = lineHeight();
    const int first = firstVisibleLine();
    const int last = qMin(lineCount() - 1, first + visibleLines());
    const int x = Margin - horizontalScrollBar()->value();
    const int selFirst = selectionFirst();
    const int selLast = selectionLast();
    const int ascent = fontMetrics().ascent();
    const LogColours colours(palette().color(QPalette::Base), palette().color(QPalette::Text));
    const FindBar *search = find && find->isVisible() ? find : nullptr;
    for (int i = first; i <= last; ++i) {
        const int y = Margin + (i - first) * h;
        const bool selected = marked && i >= selFirst && i <= selLast;
        const QByteArray bytes = lineBytes(i);
        const LogLineKind kind = ClassifyLogLine(bytes.constData(), bytes.size());
        if (selected) {
            const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
            p.fillRect(QRect(0, y, viewport()->width(), h), palette().color(group, QPalette::Highlight));
            p.setPen(palette().color(group, QPalette::HighlightedText));
        } else {
            if (colours.hasBand(kind))
                p.fillRect(QRect(0, y, viewport()->width(), h), colours.band(kind));
            p.setPen(colours.text(kind));
        }
        p.drawText(x, y + ascent, LogDisplayText(bytes.constData(), bytes.size()));
        if (search)
            search->paintMatches(p, i, bytes, QPoint(x, y), h);
    }
}

void TrafficLogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (marks)
        marks->place();
}

void TrafficLogView::setFindBarHeight(int height)
{
    findBarHeight = height;
    setViewportMargins(marks ? LogGutter::Width : 0, 0, 0, height);
    if (marks)
        marks->place();
}

void TrafficLogView::setMarkSource(LogMarkSource source)
{
    delete marks;
    marks = source ? new LogGutter(this, std::move(source)) : nullptr;
    if (marks) {
        // The strip follows the text: scrolled with it, painted with it.
        connect(verticalScrollBar(), &QScrollBar::valueChanged, marks, [this] { marks->update(); });
        connect(this, &TrafficLogView::flushed, marks, [this] { marks->update(); });
    }
    setFindBarHeight(findBarHeight);
}

void TrafficLogView::updateMarks()
{
    if (marks)
        marks->update();
}

int TrafficLogView::lineAt(int y) const
{
    return qBound(0, firstVisibleLine() + (y - Margin) / lineHeight(), qMax(0, lineCount() - 1));
}

void TrafficLogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mousePressEvent(event);
    const int at = lineAt(int(event->position().y()));
    cursor = at;
    if (!(event->modifiers() & Qt::ShiftModifier) || !marked)
        anchor = at;
    marked = true;
    viewport()->update();
}

void TrafficLogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    cursor = lineAt(int(event->position().y()));
    viewport()->update();
}

void TrafficLogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QAbstractScrollArea::mouseDoubleClickEvent(event);
    setCursorLine(lineAt(int(event->position().y())));
    Q_EMIT doubleClicked();
}

FindBar *TrafficLogView::findBar()
{
    if (!find)
        find = new FindBar(this);
    return find;
}

void TrafficLogView::copySelection() const
{
    if (lineCount() > 0)
        QApplication::clipboard()->setText(selectedText());
}

void TrafficLogView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy))
        return copySelection();
    if (event->matches(QKeySequence::Find))
        return findBar()->open();
    if (event->matches(QKeySequence::FindNext) || event->matches(QKeySequence::FindPrevious)) {
        findBar()->step(event->matches(QKeySequence::FindPrevious) ? FindBar::Backward : FindBar::Forward);
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        marked = true;
        anchor = 0;
        cursor = qMax(0, lineCount() - 1);
        viewport()->update();
        return;
    }
    QScrollBar *v = verticalScrollBar();
    switch (event->key()) {
    case Qt::Key_Up:
        v->setValue(v->value() - 1);
        break;
    case Qt::Key_Down:
        v->setValue(v->value() + 1);
        break;
    case Qt::Key_PageUp:
        v->setValue(v->value() - v->pageStep());
        break;
    case Qt::Key_PageDown:
        v->setValue(v->value() + v->pageStep());
        break;
    case Qt::Key_Home:
        v->setValue(0);
        break;
    case Qt::Key_End:
        v->setValue(v->maximum());
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}
