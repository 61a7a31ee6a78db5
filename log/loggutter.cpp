#include "log/loggutter.h"

#include "log/logview.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

LogGutter::LogGutter(TrafficLogView *logView, LogMarkSource markSource)
    : QWidget(logView), view(logView), source(std::move(markSource))
{
    setObjectName(QStringLiteral("LogGutter"));
    setAccessibleName(QStringLiteral("Finding markers"));
    setAutoFillBackground(false);
    place();
    show();
}

void LogGutter::place()
{
    const QRect v = view->viewport()->geometry();
    setGeometry(v.left() - Width, v.top(), Width, v.height());
}

void LogGutter::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    const int h = view->lineHeight();
    const int first = view->firstVisibleLine();
    const int last = qMin(view->lineCount() - 1, first + height() / h + 1);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    LogLineMark mark;
    for (int i = first; i <= last; ++i) {
        if (!source(i, &mark, false))
            continue;
        const int y = TrafficLogView::TextMargin + (i - first) * h;
        const int d = qMin(Width - 2, h - 2);
        p.setBrush(mark.colour);
        p.drawEllipse(QRect((Width - d) / 2, y + (h - d) / 2, d, d));
    }
}

bool LogGutter::event(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const int line =
        view->firstVisibleLine() + (help->pos().y() - TrafficLogView::TextMargin) / view->lineHeight();
    LogLineMark mark;
    if (line < view->lineCount() && source(line, &mark, true))
        QToolTip::showText(help->globalPos(), mark.tip, this);
    else
        QToolTip::hideText();
    return true;
}
