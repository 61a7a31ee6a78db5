#pragma once
// The traffic log widget. Its contents are the lines as 8-bit text in a
// LogStore; the widget paints only the lines in view, straight from there.
// Every appended line is part of the contents at once, for every reader (export, pick-up, tests); the scroll bars and the repaint follow on
// a short timer, so a burst of traffic costs one repaint instead of one per
// line, and a million lines cost little more than their bytes.

#include "log/logstore.h"

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QTimer>
#include <functional>

#include "log/loggutter.h"

class FindBar;

class TrafficLogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TrafficLogView(QWidget *parent = nullptr);

    void appendLine(const QString &line);
    void appendLine(QByteArrayView line); // 8-bit text as it is
    int lineCount() const { return int(log.lineCount()); }
    QString line(int index) const;
    QStringList lines() const;
    // The line's 8-bit bytes without CR LF ("" out of range).
    QByteArray lineBytes(int index) const;
    // Calls f for lines [from, to) in order, with pointers into the stored
    // text (valid only during the call); stops early when f returns false.
    // Reads spilled chunks back as needed. f must not append to the log.
    void forEachLine(int from, int to,
                     const std::function<bool(int index, const char *data, qsizetype length)> &f) const;
    // Writes every line followed by CR LF, as 8-bit text: the saved log's
    // bytes. See LogStore::writeTo.
    bool writeTo(QIODevice &out, const std::function<bool(qint64 done, qint64 total)> &progress,
                 QString *reason) const;
    // The text's storage (memory bound, spill folder).
    LogStore &store() { return log; }
    const LogStore &store() const { return log; }
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
    // Selects the lines from anchorLine to cursorLine, the cursor on the latter.
    void selectLines(int anchorLine, int cursorLine);
    // Whether the selection is shown: a line was clicked or selected since
    // the last clear.
    bool linesMarked() const { return marked; }

    // Brings the scroll bars and the painting up to date now.
    void flushPending();
    bool paintPending() const { return repaintTimer.isActive(); }
    int firstVisibleLine() const;
    int lineHeight() const;
    // Scrolls so that the line, and bytes [column, column + length) of it,
    // are in view: a line out of view comes to the middle, a line in view
    // keeps its place. Brings the scroll bars up to date first.
    void showLine(int line, qsizetype column = 0, qsizetype length = 0);

    // The find bar (Ctrl+F), created when first asked for.
    FindBar *findBar();
    // Room kept free below the text for the find bar.
    void setFindBarHeight(int height);
    // A strip left of the text with a mark for each line the source names;
    // none until one is set.
    void setMarkSource(LogMarkSource source);
    // The marks changed: the strip is painted anew.
    void updateMarks();
    LogGutter *gutter() const { return marks; }

    static constexpr int PaintDelayMs = 40;
    // Blank pixels between the viewport's edge and the text.
    static constexpr int TextMargin = 3;

Q_SIGNALS:
    void doubleClicked();
    // The spill file could not be written: from now on the oldest lines are
    // dropped to keep the log's memory within its bound.
    void spillFailed(const QString &reason);
    // The contents are about to be emptied.
    void aboutToClear();
    // The deferred update ran: scroll bars and painting follow the contents.
    void flushed();
    // Lines were dropped from the start (the spill file failed): line
    // numbers held elsewhere no longer hold.
    void linesDiscarded(int count);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void appended(QByteArrayView stored, qint64 droppedBefore);
    int lineAt(int y) const;
    int visibleLines() const;
    void updateScrollBars();
    void scheduleRepaint();
    void copySelection() const;

    void linesDropped(qint64 count);

    LogStore log;
    int widestColumns = 0; // longest line, in character cells
    int cursor = 0; // the line holding the text cursor
    int anchor = 0; // the other end of the selection
    bool marked = false; // a line was clicked since the last clear
    QTimer repaintTimer;
    FindBar *find = nullptr;
    LogGutter *marks = nullptr;
    int findBarHeight = 0;
};
