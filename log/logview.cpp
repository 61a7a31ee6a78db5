#include "log/logview.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
// The widget would break its blocks at CR and can't show other control
// characters; it shows their Unicode pictures instead. The contents keep the
// real bytes.
void appendDisplayText(QString &out, const QString &line)
{
    for (QChar c : line) {
        const ushort u = c.unicode();
        if (u < 0x20 && u != '\t')
            out += QChar(0x2400 + u);
        else if (u == 0x7f)
            out += QChar(0x2421);
        else
            out += c;
    }
}
} // namespace

TrafficLogView::TrafficLogView(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The log starts with one empty line.
    starts.push_back(0);
    text = "\r\n";
    paintTimer.setSingleShot(true);
    paintTimer.setInterval(PaintDelayMs);
    connect(&paintTimer, &QTimer::timeout, this, [this] { paintNext(PaintBudgetNs); });
}

void TrafficLogView::appendLine(const QString &line)
{
    starts.push_back(text.size());
    text += line.toLatin1();
    text += "\r\n";
    if (pendingAny)
        pendingDisplay += QLatin1Char('\n');
    appendDisplayText(pendingDisplay, line);
    pendingAny = true;
    if (!paintTimer.isActive())
        paintTimer.start();
}

QString TrafficLogView::line(int index) const
{
    if (index < 0 || index >= lineCount())
        return QString();
    const qsizetype begin = starts[size_t(index)];
    const qsizetype end = (size_t(index) + 1 < starts.size() ? starts[size_t(index) + 1] : text.size()) - 2;
    return QString::fromLatin1(text.constData() + begin, end - begin);
}

QStringList TrafficLogView::lines() const
{
    QStringList out;
    out.reserve(lineCount());
    for (int i = 0; i < lineCount(); ++i)
        out << line(i);
    return out;
}

void TrafficLogView::clearLog()
{
    paintTimer.stop();
    text.clear();
    starts.clear();
    pendingDisplay.clear();
    pendingAny = false;
    clear();
    viewHasLines = false;
}

void TrafficLogView::flushPending()
{
    paintNext(-1);
}

void TrafficLogView::paintNext(qint64 budgetNs)
{
    paintTimer.stop();
    if (!pendingAny)
        return;
    QScrollBar *bar = verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum() - 2;
    QElapsedTimer clock;
    clock.start();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // A burst is put into the widget in slices of a few thousand lines, so
    // that no single turn of the event loop is held up for long.
    qsizetype from = 0;
    while (from < pendingDisplay.size()) {
        qsizetype to = from;
        for (int n = 0; n < SliceLines && to >= 0; ++n) {
            to = pendingDisplay.indexOf(QLatin1Char('\n'), to + (n ? 1 : 0));
        }
        if (to < 0)
            to = pendingDisplay.size();
        const QStringView slice = QStringView(pendingDisplay).mid(from, to - from);
        cursor.insertText((viewHasLines ? QStringLiteral("\n") : QString()) + slice.toString());
        viewHasLines = true;
        from = to + 1;
        if (budgetNs >= 0 && clock.nsecsElapsed() > budgetNs)
            break;
    }
    if (from < pendingDisplay.size()) {
        pendingDisplay.remove(0, from);
        paintTimer.start(0);
    } else {
        pendingDisplay.clear();
        pendingAny = false;
        paintTimer.setInterval(PaintDelayMs);
    }
    if (atBottom)
        bar->setValue(bar->maximum());
}

int TrafficLogView::cursorLine()
{
    flushPending();
    if (lineCount() == 0)
        return -1;
    return qBound(0, textCursor().blockNumber(), lineCount() - 1);
}

void TrafficLogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    flushPending();
    QPlainTextEdit::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked();
}
