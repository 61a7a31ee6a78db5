#pragma once
// The traffic log widget. Its contents are the lines as 8-bit text in one
// buffer; the widget paints only the lines in view, straight from that
// buffer. Every appended line is part of the contents at once, for every
// reader (export, pick-up, tests); the scroll bars and the repaint follow on
// a short timer, so a burst of traffic costs one repaint instead of one per
// line, and a million lines cost little more than their bytes.

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QTimer>
#include <vector>

class TrafficLogView : public QAbstractScrollArea {
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

    // The line that holds the text cursor (the last clicked one), -1 when
    // the log is empty.
    int cursorLine() const;
    void setCursorLine(int index);
    // The selected lines, first and last (equal for one line; -1 for none).
    int selectionFirst() const;
    int selectionLast() const;
    // The selected lines as text, '\n'-separated.
    QString selectedText() const;

    // Brings the scroll bars and the painting up to date now.
    void flushPending();
    bool paintPending() const { return repaintTimer.isActive(); }
    int firstVisibleLine() const;
    int lineHeight() const;

    static constexpr int PaintDelayMs = 40;

Q_SIGNALS:
    void doubleClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString displayText(int index) const;
    int lineAt(int y) const;
    int visibleLines() const;
    void updateScrollBars();
    void scheduleRepaint();
    void copySelection() const;

    QByteArray text; // each line + "\r\n", Latin-1
    std::vector<qsizetype> starts; // offset of each line in `text`
    int widestColumns = 0; // longest line, in character cells
    int cursor = 0; // the line holding the text cursor
    int anchor = 0; // the other end of the selection
    bool marked = false; // a line was clicked since the last clear
    QTimer repaintTimer;
};
