#pragma once
// The traffic log as assistive technology sees it: a read-only multi-line
// text, like a read-only plain-text editor. Its text is the log's lines
// joined by LF, Latin-1 decoded; the caret is at the start of the line that
// holds the text cursor, the selection covers the selected lines.
//
// Everything is worked out when a client asks: character offsets come from
// a table of every 64th line's offset, built and extended on demand, so
// appending costs nothing extra while no client listens.

#include <QAccessibleWidget>
#include <QObject>
#include <vector>

class TrafficLogView;

// Registers the log's accessibility interface with Qt (once).
void InstallLogAccessibility();

// Character offsets of the log's lines; also sends the text and caret
// events. A child of the view, made by the first client's question.
class LogTextIndex : public QObject {
    Q_OBJECT
public:
    static LogTextIndex *of(TrafficLogView *view);

    // The offset of the line's first character; lineStart(lineCount()) is
    // the character count plus one.
    qint64 lineStart(int line);
    qint64 characterCount();
    // The line that holds the offset (a line's LF belongs to it).
    int lineAt(qint64 offset);

    static constexpr int Block = 64;

    // Where the text, caret and selection events go: to Qt's accessibility
    // bridge, and only while a client listens. A sink set here gets every
    // event instead (nullptr: back to the bridge).
    using EventSink = void (*)(QAccessibleEvent *event);
    static void setEventSink(EventSink sink);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit LogTextIndex(TrafficLogView *view);
    void extend();
    void linesFlushed();
    void aboutToClear();
    void reportCaret();

    TrafficLogView *view;
    QWidget *port; // the view's viewport, watched for repaints
    std::vector<qint64> blockStart; // offset of line k * Block
    int indexed = 0; // lines summed so far
    qint64 indexedEnd = 0; // offset of line `indexed`
    int reported = 0; // lines the clients were told about
    int caretLine = -1, selFirst = -1, selLast = -1; // as last reported
};

class LogAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LogAccessible(TrafficLogView *view);

    QAccessible::State state() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    using QAccessibleWidget::text;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                             int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                            int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    TrafficLogView *log() const;
    LogTextIndex *index() const;
    // The segment of the given kind that holds the offset.
    void segmentAt(qint64 offset, QAccessible::TextBoundaryType type, qint64 *start, qint64 *end) const;
};
