#include "inspect/timeline.h"

#include "inspect/inspectormodels.h"
#include "inspect/liveinspector.h"

#include <QHelpEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace inspect {

namespace {

const QColor PlainColour(60, 130, 200);
const QColor ErrorColour(210, 30, 30);
const QColor FindingColour(245, 140, 0);
const QColor OpenColour(150, 150, 150);
const QColor AbortedColour(110, 80, 80);
const QColor OverlapColour(120, 40, 160);

constexpr double MinUsPerPx = 0.05, MaxUsPerPx = 60e6;

// The end of a row's bar: its '%', else the last thing known of it.
qint64 BarEnd(const TxnRow &r)
{
    return r.tDone >= 0 ? r.tDone : (r.tAck >= 0 ? r.tAck : r.tSent);
}

} // namespace

QColor LadderColour(const TxnRow &row)
{
    switch (row.outcome) {
    case TxnOutcome::Error:
        return ErrorColour;
    case TxnOutcome::Open:
        return OpenColour;
    case TxnOutcome::Aborted:
    case TxnOutcome::Dropped:
        return row.finding ? FindingColour : AbortedColour;
    default:
        return row.finding ? FindingColour : PlainColour;
    }
}

// ------------------------------------------------------------------ ladder

void Ladder::update()
{
    const quint64 begin = ins->completedBegin(), end = ins->completedEnd();
    if (begin == begin_ && end == end_ && ins->openGeneration() == openGeneration_)
        return;
    if (begin < begin_ || end < end_ || begin >= end_) {
        completed_.clear();
        end_ = begin;
        lastCompletedUs_ = -1;
    } else if (begin > begin_) {
        completed_.erase(std::remove_if(completed_.begin(), completed_.end(),
                                        [begin](const Entry &e) { return e.id < begin; }),
                         completed_.end());
    }
    // The new ones, sorted among themselves, merged in: rows complete in
    // about the order they were sent, so this is linear in practice.
    const size_t old = completed_.size();
    for (quint64 s = qMax(end_, begin); s < end; ++s) {
        const TxnRow &r = ins->completedRow(s);
        if (r.tSent < 0)
            continue;
        completed_.push_back({r.tSent, r.position, s});
        lastCompletedUs_ = qMax(lastCompletedUs_, BarEnd(r));
    }
    const auto byTime = [](const Entry &a, const Entry &b) {
        return a.tSent < b.tSent || (a.tSent == b.tSent && a.position < b.position);
    };
    const auto mid = completed_.begin() + qsizetype(old);
    if (!std::is_sorted(mid, completed_.end(), byTime))
        std::stable_sort(mid, completed_.end(), byTime);
    std::inplace_merge(completed_.begin(), mid, completed_.end(), byTime);
    begin_ = begin;
    end_ = end;
    openGeneration_ = ins->openGeneration();

    std::vector<Entry> open;
    lastUs_ = lastCompletedUs_;
    for (int i = 0; i < ins->openCount(); ++i) {
        const TxnRow &r = ins->openRow(i);
        if (r.tSent < 0)
            continue;
        open.push_back({r.tSent, r.position, OpenBit | quint64(i)});
        lastUs_ = qMax(lastUs_, BarEnd(r));
    }
    std::sort(open.begin(), open.end(), byTime);
    rows_.resize(completed_.size() + open.size());
    std::merge(completed_.begin(), completed_.end(), open.begin(), open.end(), rows_.begin(), byTime);
}

const TxnRow &Ladder::row(int i) const
{
    const quint64 id = rows_[size_t(i)].id;
    return (id & OpenBit) ? ins->openRow(int(id & ~OpenBit)) : ins->completedRow(id);
}

int Ladder::rowAtOrAfter(qint64 us) const
{
    return int(
        std::lower_bound(rows_.begin(), rows_.end(), us, [](const Entry &e, qint64 t) { return e.tSent < t; })
        - rows_.begin());
}

bool Ladder::overlapsPrevious(int i) const
{
    return row(i).pipelined;
}

// ------------------------------------------------------------------ picture

namespace {

qint64 TickStep(double usPerPx)
{
    const double want = usPerPx * 110; // about one mark per 110 px
    qint64 step = 1;
    for (;;) {
        for (int m : {1, 2, 5})
            if (double(step * m) >= want)
                return step * m;
        if (step > qint64(1) << 50)
            return step;
        step *= 10;
    }
}

void PaintLegend(QPainter &p, const QRect &strip)
{
    struct Item {
        QColor colour;
        Qt::BrushStyle style;
        const char *text;
    };
    static const Item Items[] = {
        {PlainColour, Qt::SolidPattern, "completed"},
        {ErrorColour, Qt::SolidPattern, "error"},
        {FindingColour, Qt::SolidPattern, "finding"},
        {OpenColour, Qt::BDiagPattern, "open"},
        {AbortedColour, Qt::SolidPattern, "aborted"},
        {OverlapColour, Qt::SolidPattern, "sent before the previous '&'"},
    };
    const QFontMetrics fm = p.fontMetrics();
    int x = strip.left() + 6;
    const int y = strip.top() + (strip.height() - 10) / 2;
    for (const Item &it : Items) {
        const QRect box(x, y, 18, 10);
        p.fillRect(box, Qt::white);
        p.fillRect(box, QBrush(it.colour, it.style));
        p.setPen(it.colour.darker(130));
        p.drawRect(box.adjusted(0, 0, -1, -1));
        x += 22;
        const QString text = QLatin1String(it.text);
        p.setPen(Qt::black);
        p.drawText(QRect(x, strip.top(), fm.horizontalAdvance(text) + 4, strip.height()), Qt::AlignVCenter,
                   text);
        x += fm.horizontalAdvance(text) + 14;
    }
    p.setPen(Qt::black);
    const QString tick = QStringLiteral("| '&'");
    p.fillRect(QRect(x, y - 1, 2, 12), Qt::black);
    p.drawText(QRect(x + 5, strip.top(), fm.horizontalAdvance(tick) + 4, strip.height()), Qt::AlignVCenter,
               QStringLiteral("'&'"));
}

} // namespace

void PaintLadder(QPainter &p, const QRect &area, const Ladder &ladder, const LadderFrame &frame)
{
    using M = LadderMetrics;
    p.fillRect(area, Qt::white);
    QFont f = p.font();
    f.setPointSize(8);
    p.setFont(f);
    const QFontMetrics fm = p.fontMetrics();
    PaintLegend(p, QRect(area.left(), area.top(), area.width(), M::LegendHeight));

    const int top = M::rowsTop(area);
    const QRect plot(area.left() + M::LabelWidth, top, area.width() - M::LabelWidth - 4, area.bottom() - top);
    if (plot.width() < 10 || plot.height() < M::RowHeight || frame.usPerPx <= 0)
        return;
    const double left = double(plot.left());
    const auto xOf = [&](qint64 us) {
        return int(std::clamp(left + double(us - frame.t0) / frame.usPerPx, left - 10.0,
                              double(plot.right()) + 10.0));
    };
    const qint64 t1 = frame.t0 + qint64(plot.width() * frame.usPerPx);

    // The time axis: marks at a round step, the first in full, the others
    // after it when the step is below a millisecond.
    const LiveInspector *ins = ladder.inspector();
    const int axisY = top - 1;
    p.setPen(Qt::darkGray);
    p.drawLine(plot.left(), axisY, plot.right(), axisY);
    const qint64 step = TickStep(frame.usPerPx);
    qint64 first = frame.t0 - ((frame.t0 % step) + step) % step + step;
    for (qint64 t = first; t <= t1; t += step) {
        const int x = xOf(t);
        p.setPen(QColor(235, 235, 235));
        p.drawLine(x, top, x, plot.bottom());
        p.setPen(Qt::darkGray);
        p.drawLine(x, axisY - 3, x, axisY);
        const QString label =
            (step >= 1000 || t == first) ? TimeText(ins, t) : QStringLiteral("+") + FormatDuration(t - first);
        p.drawText(QRect(x - 60, axisY - M::AxisHeight, 120, M::AxisHeight - 3), Qt::AlignCenter, label);
    }

    // The rows in view.
    const int rows = M::visibleRows(area);
    const int last = qMin(ladder.count(), frame.firstRow + rows);
    const int barHeight = M::RowHeight - 6;
    for (int i = qMax(0, frame.firstRow); i < last; ++i) {
        const TxnRow &r = ladder.row(i);
        const int y = top + (i - frame.firstRow) * M::RowHeight;
        if (i == frame.selected)
            p.fillRect(QRect(area.left(), y, area.width(), M::RowHeight), QColor(205, 225, 250));
        else if (i % 2)
            p.fillRect(QRect(area.left(), y, area.width(), M::RowHeight), QColor(248, 248, 248));
        p.setPen(Qt::black);
        // The command after its tag; a line without a well-formed tag whole.
        const QByteArray tag = r.tag(), command = ins->commandText(r);
        const bool tagged = command.startsWith(tag + ' ');
        const QString label = (r.leg == check::Leg::Relay ? QStringLiteral("R ") : QStringLiteral("O "))
            + QString::fromLatin1(tag) + QLatin1Char(' ')
            + QString::fromLatin1(command.mid(tagged ? tag.size() + 1 : 0, 80));
        p.drawText(QRect(area.left() + 4, y, M::LabelWidth - 8, M::RowHeight), Qt::AlignVCenter,
                   fm.elidedText(label, Qt::ElideRight, M::LabelWidth - 8));
        const qint64 end = r.outcome == TxnOutcome::Open ? ladder.lastUs() : BarEnd(r);
        if (end < frame.t0 || r.tSent > t1)
            continue;
        const int x0 = xOf(r.tSent);
        const int x1 = qMax(x0 + 2, xOf(end));
        const QRect bar(x0, y + 3, x1 - x0, barHeight);
        const QColor colour = LadderColour(r);
        if (r.outcome == TxnOutcome::Open) {
            p.fillRect(bar, colour.lighter(150));
            p.fillRect(bar, QBrush(colour.darker(150), Qt::BDiagPattern));
        } else {
            p.fillRect(bar, colour);
        }
        if (ladder.overlapsPrevious(i)) {
            // A notch from the row above down to this bar's start.
            p.fillRect(QRect(x0, y - 3, 2, 6), OverlapColour);
            p.fillRect(QRect(x0 - 3, y + 3, 3, barHeight), OverlapColour);
        }
        if (r.tAck >= 0)
            p.fillRect(QRect(xOf(r.tAck), y + 1, 2, M::RowHeight - 2), Qt::black);
    }
    if (ladder.count() == 0) {
        p.setPen(Qt::darkGray);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("No transactions yet"));
    }
}

LadderFrame FitRows(const Ladder &ladder, const QRect &area, int first, int last)
{
    using M = LadderMetrics;
    LadderFrame frame;
    frame.firstRow = qMax(0, first);
    last = qMin(last, ladder.count() - 1);
    if (frame.firstRow > last)
        return frame;
    qint64 from = ladder.row(frame.firstRow).tSent, to = from;
    for (int i = frame.firstRow; i <= last; ++i) {
        const TxnRow &r = ladder.row(i);
        from = qMin(from, r.tSent);
        to = qMax(to, r.outcome == TxnOutcome::Open ? ladder.lastUs() : BarEnd(r));
    }
    const int width = qMax(10, area.width() - M::LabelWidth - 4);
    // A little room on both sides of the traffic.
    const qint64 span = qMax<qint64>(to - from, 100);
    frame.usPerPx = std::clamp(double(span) * 1.06 / width, MinUsPerPx, MaxUsPerPx);
    frame.t0 = from - qint64(double(span) * 0.03);
    return frame;
}

QImage LadderAround(const Ladder &ladder, qint64 us, int before, int after, int width, int mark)
{
    using M = LadderMetrics;
    const int at = qMin(ladder.rowAtOrAfter(us), ladder.count() - 1);
    const int first = qMax(0, at - before), last = qMin(ladder.count() - 1, at + after);
    const int rows = qMax(1, last - first + 1);
    const QRect area(0, 0, width, M::LegendHeight + M::AxisHeight + rows * M::RowHeight + 4);
    QImage image(area.size(), QImage::Format_RGB32);
    QPainter p(&image);
    LadderFrame frame = FitRows(ladder, area, first, last);
    frame.selected = mark >= 0 ? mark : at;
    PaintLadder(p, area, ladder, frame);
    return image;
}

// ------------------------------------------------------------------ widget

TimelineView::TimelineView(const LiveInspector *inspector, QWidget *parent)
    : QWidget(parent), ins(inspector), ladder_(inspector)
{
    setMinimumHeight(140);
    setMouseTracking(false);
    setAccessibleName(QStringLiteral("Ladder of the transactions"));
    setAccessibleDescription(QStringLiteral(
        "One row per transaction, oldest at the top, a bar from its command to its '%' and a tick at its "
        "'&'. The wheel zooms, a drag pans, a click shows the command in the traffic log."));
    rowsBar = new QScrollBar(Qt::Vertical, this);
    rowsBar->setObjectName(QStringLiteral("ladderRows"));
    rowsBar->setAccessibleName(QStringLiteral("Ladder rows"));
    connect(rowsBar, &QScrollBar::valueChanged, this, [this](int v) { rowsScrolled(v); });
}

TimelineView::~TimelineView() = default;

QRect TimelineView::plotArea() const
{
    return rect().adjusted(0, 0, -rowsBar->sizeHint().width(), 0);
}

void TimelineView::setSpan(qint64 us)
{
    spanUs = us;
    fit = true;
    tail = true;
    update();
}

qint64 TimelineView::span() const
{
    return qint64(frame_.usPerPx * plotWidth);
}

void TimelineView::rowsScrolled(int value)
{
    frame_.firstRow = value;
    tail = value >= rowsBar->maximum();
    update();
}

// Brings the frame along with the traffic where the operator hasn't moved it.
void TimelineView::follow(const QRect &area)
{
    ladder_.update();
    plotWidth = qMax(10, area.width() - LadderMetrics::LabelWidth - 4);
    const int rows = LadderMetrics::visibleRows(area);
    const int maxFirst = qMax(0, ladder_.count() - rows);
    if (tail)
        frame_.firstRow = maxFirst;
    frame_.firstRow = std::clamp(frame_.firstRow, 0, maxFirst);
    if (fit) {
        const int selected = frame_.selected;
        if (spanUs > 0) {
            const int width = qMax(10, area.width() - LadderMetrics::LabelWidth - 4);
            frame_.usPerPx = double(spanUs) / width;
            frame_.t0 = qMax<qint64>(0, ladder_.lastUs()) - spanUs;
        } else {
            const int firstRow = frame_.firstRow;
            frame_ = FitRows(ladder_, area, firstRow, firstRow + rows - 1);
            frame_.firstRow = firstRow;
        }
        frame_.selected = selected;
    }
    const QSignalBlocker block(rowsBar);
    rowsBar->setRange(0, maxFirst);
    rowsBar->setPageStep(rows);
    rowsBar->setValue(frame_.firstRow);
}

void TimelineView::paintEvent(QPaintEvent *)
{
    const QRect area = plotArea();
    follow(area);
    QPainter p(this);
    PaintLadder(p, area, ladder_, frame_);
}

void TimelineView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int w = rowsBar->sizeHint().width();
    rowsBar->setGeometry(width() - w, LadderMetrics::LegendHeight + LadderMetrics::AxisHeight, w,
                         height() - LadderMetrics::LegendHeight - LadderMetrics::AxisHeight);
}

QImage TimelineView::render(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    const QRect area = image.rect();
    follow(area);
    QPainter p(&image);
    PaintLadder(p, area, ladder_, frame_);
    return image;
}

int TimelineView::rowAt(const QPoint &pos) const
{
    const int top = LadderMetrics::rowsTop(plotArea());
    if (pos.y() < top || pos.x() >= plotArea().right())
        return -1;
    const int row = frame_.firstRow + (pos.y() - top) / LadderMetrics::RowHeight;
    return row < ladder_.count() ? row : -1;
}

QString TimelineView::rowDetails(int row) const
{
    if (row < 0 || row >= ladder_.count())
        return QString();
    const TxnRow &r = ladder_.row(row);
    QString text = QStringLiteral("%1 %2, log line %8\n%3\nsent %4\n'&' %5\n'%' %6\n%7")
                       .arg(LegTitle(r.leg), QString::fromLatin1(r.tag()),
                            QString::fromLatin1(ins->commandText(r)), TimeText(ins, r.tSent),
                            r.tAck >= 0 ? TimeText(ins, r.tAck)
                                    + QStringLiteral(" (+%1)").arg(FormatDuration(r.tAck - r.tSent))
                                        : QStringLiteral("none"),
                            r.tDone >= 0 ? TimeText(ins, r.tDone)
                                    + QStringLiteral(" (+%1)").arg(FormatDuration(r.tDone - r.tSent))
                                         : QStringLiteral("none"),
                            OutcomeText(ins, r), LogLineText(r.logLine));
    if (ladder_.overlapsPrevious(row))
        text += QStringLiteral("\nsent before the previous command's '&'");
    // The kept findings about this transaction: its leg and tag, from its
    // command to its end.
    const qint64 end = r.outcome == TxnOutcome::Open ? ladder_.lastUs() : BarEnd(r);
    int shown = 0;
    for (quint64 s = ins->findingsEnd(); s > ins->findingsBegin() && shown < 8; --s) {
        const FindingRow &f = ins->findingRow(s - 1);
        if (f.timeUs < r.tSent)
            break;
        if (f.finding.leg == r.leg && f.timeUs <= end && f.finding.tag == r.tag()) {
            text += QStringLiteral("\n%1 %2: %3")
                        .arg(QLatin1String(check::SeverityName(f.finding.severity)),
                             QLatin1String(check::RuleId(f.finding.rule)), f.finding.text);
            ++shown;
        }
    }
    return text;
}

void TimelineView::selectRow(int row)
{
    frame_.selected = row;
    update();
    if (row >= 0 && row < ladder_.count() && ladder_.row(row).logLine >= 0)
        Q_EMIT showLogLine(ladder_.row(row).logLine);
}

bool TimelineView::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QString text = rowDetails(rowAt(help->pos()));
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

void TimelineView::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    const double x = event->position().x() - LadderMetrics::LabelWidth;
    const double factor = std::pow(1.25, -delta / 120.0);
    const double usPerPx = std::clamp(frame_.usPerPx * factor, MinUsPerPx, MaxUsPerPx);
    // The time under the pointer stays where it is.
    const double at = double(frame_.t0) + qMax(0.0, x) * frame_.usPerPx;
    frame_.t0 = qint64(at - qMax(0.0, x) * usPerPx);
    frame_.usPerPx = usPerPx;
    fit = false;
    update();
    event->accept();
}

void TimelineView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    pressAt = lastAt = event->position().toPoint();
    dragging = false;
}

void TimelineView::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint at = event->position().toPoint();
    if (!dragging && (at - pressAt).manhattanLength() < 4)
        return;
    dragging = true;
    const QPoint d = at - lastAt;
    lastAt = at;
    frame_.t0 -= qint64(d.x() * frame_.usPerPx);
    fit = false;
    const int rowsMoved = (at.y() - pressAt.y()) / LadderMetrics::RowHeight;
    if (rowsMoved != 0) {
        rowsBar->setValue(rowsBar->value() - rowsMoved);
        pressAt.ry() += rowsMoved * LadderMetrics::RowHeight;
    }
    update();
}

void TimelineView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (!dragging)
        selectRow(rowAt(event->position().toPoint()));
    dragging = false;
}

void TimelineView::mouseDoubleClickEvent(QMouseEvent *)
{
    setSpan(0);
}

} // namespace inspect
