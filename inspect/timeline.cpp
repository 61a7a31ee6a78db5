#include "inspect/timeline.h"

#include "inspect/liveinspector.h"

#include <QDateTime>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <array>
#include <vector>

namespace inspect {

namespace {

constexpr int LabelWidth = 64;
constexpr int AxisHeight = 18;
constexpr int LanesPerLeg = 6;
constexpr int MaxBars = 8000; // the newest: more than a screen has pixels for

struct Bar {
    qint64 sent, ack, done; // us; done = now for an open one
    TxnOutcome outcome;
    bool finding;
    check::Leg leg;
};

QColor BarColour(TxnOutcome o)
{
    switch (o) {
    case TxnOutcome::Ok:
        return QColor(60, 130, 200);
    case TxnOutcome::Error:
        return QColor(210, 30, 30);
    case TxnOutcome::Open:
        return QColor(240, 170, 40);
    default:
        return QColor(150, 80, 80);
    }
}

} // namespace

void PaintTimeline(QPainter &p, const QRect &area, const LiveInspector &ins, qint64 nowUs, qint64 spanUs)
{
    p.fillRect(area, Qt::white);
    const QRect plot(area.left() + LabelWidth, area.top() + 4, area.width() - LabelWidth - 8,
                     area.height() - AxisHeight - 8);
    if (plot.width() < 10 || plot.height() < 10 || spanUs <= 0)
        return;
    const qint64 from = nowUs - spanUs;
    auto xOf = [&](qint64 us) {
        return plot.left() + int(double(us - from) * plot.width() / double(spanUs));
    };

    // The bars in view: open ones, then completed ones back to the span's start.
    std::vector<Bar> bars;
    for (int i = 0; i < ins.openCount() && int(bars.size()) < MaxBars / 4; ++i) {
        const TxnRow &r = ins.openRow(i);
        if (r.tSent >= 0)
            bars.push_back({qMax(r.tSent, from), r.tAck, nowUs, r.outcome, r.finding, r.leg});
    }
    for (quint64 s = ins.completedEnd(); s > ins.completedBegin() && int(bars.size()) < MaxBars; --s) {
        const TxnRow &r = ins.completedRow(s - 1);
        if (r.tSent < 0)
            continue;
        const qint64 end = r.tDone >= 0 ? r.tDone : (r.tAck >= 0 ? r.tAck : r.tSent);
        if (end < from)
            break;
        bars.push_back({qMax(r.tSent, from), r.tAck, end, r.outcome, r.finding, r.leg});
    }
    std::sort(bars.begin(), bars.end(), [](const Bar &a, const Bar &b) { return a.sent < b.sent; });

    // Bands and their labels.
    const int bandHeight = plot.height() / check::LegCount;
    const int laneHeight = qMax(3, (bandHeight - 6) / LanesPerLeg);
    QFont f = p.font();
    f.setPointSize(8);
    p.setFont(f);
    for (int leg = 0; leg < check::LegCount; ++leg) {
        const QRect band(plot.left(), plot.top() + leg * bandHeight, plot.width(), bandHeight);
        p.fillRect(band, leg == 0 ? QColor(246, 248, 252) : QColor(250, 246, 250));
        p.setPen(Qt::black);
        p.drawText(QRect(area.left() + 4, band.top(), LabelWidth - 8, band.height()),
                   Qt::AlignVCenter | Qt::AlignLeft,
                   leg == 0 ? QStringLiteral("Operator") : QStringLiteral("Relay"));
    }

    // Each bar on the first lane of its leg that is free at its start.
    std::array<std::array<int, LanesPerLeg>, check::LegCount> laneEnd{};
    for (auto &l : laneEnd)
        l.fill(-1);
    int overflow = 0;
    for (const Bar &b : bars) {
        const int leg = int(b.leg) & 1;
        const int x0 = xOf(b.sent);
        const int x1 = qMax(x0 + 2, xOf(b.done));
        int lane = 0;
        while (lane < LanesPerLeg && laneEnd[size_t(leg)][size_t(lane)] >= x0)
            ++lane;
        if (lane == LanesPerLeg)
            lane = overflow++ % LanesPerLeg;
        laneEnd[size_t(leg)][size_t(lane)] = x1;
        const int y = plot.top() + leg * bandHeight + 3 + lane * laneHeight;
        const QRect r(x0, y, x1 - x0, laneHeight - 1);
        p.fillRect(r, BarColour(b.outcome));
        if (b.finding) {
            p.setPen(QColor(255, 140, 0));
            p.drawRect(r.adjusted(0, 0, -1, -1));
        }
        if (b.ack >= 0) {
            const int xa = xOf(qMax(b.ack, from));
            p.fillRect(QRect(xa, y, 1, laneHeight - 1), Qt::black);
        }
    }

    // The time axis: a mark at a round step.
    p.setPen(Qt::darkGray);
    p.drawLine(plot.left(), plot.bottom() + 1, plot.right(), plot.bottom() + 1);
    static const qint64 Steps[] = {1000000,  2000000,  5000000,   10000000,
                                   30000000, 60000000, 120000000, 300000000};
    qint64 step = Steps[0];
    for (qint64 s : Steps)
        if (spanUs / s <= 8) {
            step = s;
            break;
        }
    const qint64 wallNow = ins.wallMs(nowUs);
    for (qint64 t = nowUs - (wallNow * 1000 % step); t > from; t -= step) {
        const int x = xOf(t);
        p.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 4);
        p.drawText(QRect(x - 40, plot.bottom() + 4, 80, AxisHeight), Qt::AlignHCenter | Qt::AlignTop,
                   QDateTime::fromMSecsSinceEpoch(ins.wallMs(t)).toString(QStringLiteral("HH:mm:ss")));
    }
}

TimelineView::TimelineView(const LiveInspector *inspector, QWidget *parent) : QWidget(parent), ins(inspector)
{
    setMinimumHeight(120);
    setAccessibleName(QStringLiteral("Timeline of the last transactions"));
    setAccessibleDescription(
        QStringLiteral("One bar per transaction from its command to its '%'; errors in red"));
}

void TimelineView::setSpan(qint64 us)
{
    spanUs = us;
    update();
}

qint64 TimelineView::span() const
{
    if (spanUs > 0)
        return spanUs;
    constexpr qint64 Shortest = 5000000, Longest = 15 * 60 * 1000000LL;
    const qint64 now = ins->nowUs();
    qint64 oldest = now;
    for (int i = 0; i < ins->openCount(); ++i)
        if (ins->openRow(i).tSent >= 0)
            oldest = qMin(oldest, ins->openRow(i).tSent);
    // The oldest kept transaction within the longest span (rows are kept in
    // the order they completed, so this stops at once on recent traffic).
    for (quint64 s = ins->completedBegin(); s < ins->completedEnd(); ++s) {
        const qint64 t = ins->completedRow(s).tSent;
        if (t >= now - Longest) {
            oldest = qMin(oldest, t);
            break;
        }
    }
    // A little room before the first bar.
    return qBound(Shortest, (now - oldest) * 11 / 10, Longest);
}

void TimelineView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    PaintTimeline(p, rect(), *ins, ins->nowUs(), span());
}

QImage TimelineView::render(const QSize &size) const
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    PaintTimeline(p, image.rect(), *ins, ins->nowUs(), span());
    return image;
}

} // namespace inspect
