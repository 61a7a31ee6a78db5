#pragma once
// The timeline of the last minutes: one bar per transaction from its command
// to its '%', the '&' marked on it, errors in their colour, each leg in a
// band of its own. Drawn with QPainter, on screen and into the report.

#include <QWidget>

class QPainter;

namespace inspect {

class LiveInspector;

void PaintTimeline(QPainter &p, const QRect &area, const LiveInspector &ins, qint64 nowUs, qint64 spanUs);

class TimelineView : public QWidget {
    Q_OBJECT
public:
    explicit TimelineView(const LiveInspector *inspector, QWidget *parent = nullptr);
    // The time shown, in us; 0 fits it to the traffic (5 s to 15 minutes).
    void setSpan(qint64 us);
    qint64 span() const;
    // The picture as it stands, for the report.
    QImage render(const QSize &size) const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const LiveInspector *ins;
    qint64 spanUs = 0;
};

} // namespace inspect
