#pragma once
// The traffic log widget. Its contents are the lines as 8-bit text, held
// apart from the display: every appended line is part of the contents at
// once, for every reader (export, pick-up, tests), while the painting of new
// lines is batched on a short timer so that a burst of traffic costs one
// layout and one repaint instead of one per line.

#include <QByteArray>
#include <QPlainTextEdit>
#include <QTimer>
#include <vector>

class TrafficLogView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TrafficLogView(QWidget *parent = nullptr);

    void appendLine(const QString &line);
    int lineCount() const { return int(starts.size()); }
    QString line(int index) const;
    QStringList lines() const;
    // Every line followed by CR LF, as 8-bit text: the saved log's bytes.
    const QByteArray &bytesWithCrLf() const { return text; }
    // Empties the log: zero lines.
    void clearLog();
    // The line that holds the text cursor, -1 when the log is empty.
    int cursorLine();
    // Puts the lines not yet painted into the widget now.
    void flushPending();
    bool paintPending() const { return pendingAny; }

    static constexpr int PaintDelayMs = 40;
    static constexpr qint64 PaintBudgetNs = 10 * 1000 * 1000;
    static constexpr int SliceLines = 1000;

Q_SIGNALS:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    // Paints pending lines; a negative budget paints them all.
    void paintNext(qint64 budgetNs);

    QByteArray text;                  // each line + "\r\n", Latin-1
    std::vector<qsizetype> starts;    // offset of each line in `text`
    QString pendingDisplay;           // lines not yet in the widget, '\n'-separated
    bool pendingAny = false;
    bool viewHasLines = true;         // the widget's blocks mirror the lines
    QTimer paintTimer;
};
