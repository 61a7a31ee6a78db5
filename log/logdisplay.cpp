#include "log/logdisplay.h"

#include "log/logview.h"

#include <QFontMetricsF>
#include <QtMath>
#include <QScrollBar>

void AppendLogDisplayText(QString &out, const char *data, qsizetype from, qsizetype to)
{
    for (qsizetype i = from; i < to; ++i) {
        const uchar c = uchar(data[i]);
        if (c == '\t')
            out += QString(LogTabWidth - out.size() % LogTabWidth, QLatin1Char(' '));
        else if (c < 0x20)
            out += QChar(0x2400 + c);
        else if (c == 0x7f)
            out += QChar(0x2421);
        else
            out += QLatin1Char(char(c));
    }
}

QString LogDisplayText(const char *data, qsizetype length)
{
    QString out;
    out.reserve(length);
    AppendLogDisplayText(out, data, 0, length);
    return out;
}

void ShowLogRange(TrafficLogView *view, int line, qsizetype column, qsizetype length)
{
    view->flushPending(); // scroll ranges that cover the newest lines
    QScrollBar *v = view->verticalScrollBar();
    const int rows = qMax(1, (view->viewport()->height() - TrafficLogView::TextMargin) / view->lineHeight());
    if (line < v->value() || line >= v->value() + rows)
        v->setValue(line - rows / 2);

    const QByteArray bytes = view->lineBytes(line);
    column = qBound(qsizetype(0), column, bytes.size());
    const QFontMetricsF fm(view->font());
    const int x0 = qFloor(fm.horizontalAdvance(LogDisplayText(bytes.constData(), column)));
    const int x1 =
        qCeil(fm.horizontalAdvance(LogDisplayText(bytes.constData(), qMin(bytes.size(), column + length))));
    QScrollBar *h = view->horizontalScrollBar();
    const int width = view->viewport()->width() - 2 * TrafficLogView::TextMargin;
    if (x0 < h->value() || x1 > h->value() + width)
        h->setValue(x1 - x0 > width ? x0 : qMax(0, x0 - width / 3));
}
