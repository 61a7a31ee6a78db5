#include "log/logdisplay.h"

void AppendLogDisplayText(QString &out, const char *data, qsizetype from, qsizetype to)
{
    for (qsizetype i = from; i < to; ++i) {
        const uchar c = uchar(data[i]);
        if (c == '\t')
            out += QString(LogTabWidth - out.size() % LogTabWidth, QLatin1Char(' '));
        else if (c < 0x20)
            out += QChar(0x2400 + c); // the control characters' pictures
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

qsizetype LogDisplayColumns(const char *data, qsizetype length)
{
    qsizetype columns = 0;
    for (qsizetype i = 0; i < length; ++i)
        columns = data[i] == '\t' ? (columns / LogTabWidth + 1) * LogTabWidth : columns + 1;
    return columns;
}
