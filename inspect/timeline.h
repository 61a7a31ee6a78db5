#pragma once
// The ladder of the transactions: one row per transaction, the oldest at the
// top, as a browser shows its network requests. A bar runs from the command
// to its '%', a tick marks its '&'; a command sent before the previous one's
// '&' on its leg overlaps it visibly. The legend is part of the picture, so
// that the screen and the report read the same. Only the rows and the time
// in view are painted, however many transactions are kept.

#include <QWidget>

#include <vector>

class QPainter;
class QScrollBar;

namespace inspect {

class LiveInspector;
struct TxnRow;

// A bar's colour: errors, findings, plain, open, aborted or dropped.
QColor LadderColour(const TxnRow &row);

// The kept transactions in the order their commands were sent. Follows the
// inspector when asked; costs nothing when nothing changed.
class Ladder {
public:
    explicit Ladder(const LiveInspector *inspector) : ins(inspector) { }
    void update();
    int count() const { return int(rows_.size()); }
    const TxnRow &row(int i) const;
    // The first command's time and the last line's, in us; -1 when empty.
    qint64 firstUs() const { return rows_.empty() ? -1 : rows_.front().tSent; }
    qint64 lastUs() const { return lastUs_; }
    // The first row sent at or after `us`.
    int rowAtOrAfter(qint64 us) const;
    // Sent before the '&' of the row before it on its leg.
    bool overlapsPrevious(int i) const;
    const LiveInspector *inspector() const { return ins; }

private:
    struct Entry {
        qint64 tSent;
        qint64 position; // in the stream: sent in the same microsecond, still in order
        quint64 id; // a completed serial, or OpenBit | the open index
    };
    static constexpr quint64 OpenBit = quint64(1) << 63;
    const LiveInspector *ins;
    std::vector<Entry> completed_; // sorted by tSent
    std::vector<Entry> rows_; // completed_ and the open ones, by tSent
    quint64 begin_ = 0, end_ = 0, openGeneration_ = ~quint64(0);
    qint64 lastCompletedUs_ = -1, lastUs_ = -1;
};

// What a picture of the ladder shows.
struct LadderFrame {
    qint64 t0 = 0; // us at the left edge of the bars
    double usPerPx = 1000;
    int firstRow = 0;
    int selected = -1;
};

struct LadderMetrics {
    static constexpr int LegendHeight = 20;
    static constexpr int AxisHeight = 16;
    static constexpr int RowHeight = 16;
    static constexpr int LabelWidth = 190;
    static int rowsTop(const QRect &area) { return area.top() + LegendHeight + AxisHeight; }
    static int visibleRows(const QRect &area) { return qMax(1, (area.bottom() - rowsTop(area)) / RowHeight); }
};

void PaintLadder(QPainter &p, const QRect &area, const Ladder &ladder, const LadderFrame &frame);
// The frame that shows rows [first, last] fitted in time.
LadderFrame FitRows(const Ladder &ladder, const QRect &area, int first, int last);
// The ladder of the rows around the first one sent at or after `us`, as an
// image, for the report.
QImage LadderAround(const Ladder &ladder, qint64 us, int before, int after, int width, int mark = -1);

class TimelineView : public QWidget {
    Q_OBJECT
public:
    explicit TimelineView(const LiveInspector *inspector, QWidget *parent = nullptr);
    ~TimelineView() override;
    // The time shown, in us, ending at the last line; 0 fits the rows in view
    // to their traffic, from the first command to the last line.
    void setSpan(qint64 us);
    qint64 span() const;
    // The picture as it stands, for the report.
    QImage render(const QSize &size);
    Ladder &ladder() { return ladder_; }
    LadderFrame frame() const { return frame_; }
    int selectedRow() const { return frame_.selected; }
    // The row under a point of the widget, -1 for none.
    int rowAt(const QPoint &pos) const;
    QString rowDetails(int row) const;
    void selectRow(int row);

Q_SIGNALS:
    // A transaction was clicked: its command's line in the traffic log.
    void showLogLine(int logLine);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QRect plotArea() const;
    void follow(const QRect &area);
    void rowsScrolled(int value);

    const LiveInspector *ins;
    Ladder ladder_;
    LadderFrame frame_;
    QScrollBar *rowsBar = nullptr;
    qint64 spanUs = 0;
    bool fit = true; // the time follows the traffic (fitted or the span)
    bool tail = true; // the rows follow the newest
    QPoint pressAt, lastAt;
    bool dragging = false;
    int plotWidth = 10; // of the last picture, in px
};

} // namespace inspect
