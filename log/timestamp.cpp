#include "log/timestamp.h"

#include <QRegularExpression>

QChar LocaleTimeSeparator(const QLocale &locale)
{
    // The first character between the hour and minute fields of the
    // locale's short time format.
    const QString fmt = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype h = fmt.indexOf(QRegularExpression(QStringLiteral("[hH]")));
    if (h >= 0) {
        for (qsizetype i = h; i < fmt.size(); ++i) {
            const QChar c = fmt.at(i);
            if (c != QLatin1Char('h') && c != QLatin1Char('H') && !c.isSpace() && !c.isLetter())
                return c == QLatin1Char('\'') ? QLatin1Char(':') : c;
        }
    }
    return QLatin1Char(':');
}

static QString two(int v) { return QString::number(v).rightJustified(2, QLatin1Char('0')); }
static QString three(int v) { return QString::number(v).rightJustified(3, QLatin1Char('0')); }

QString FormatTimeStampPrefix(const QTime &t, QChar separator)
{
    return two(t.hour()) + QLatin1Char('.') + two(t.minute()) + QLatin1Char('.')
           + two(t.second()) + separator + three(t.msec()) + QLatin1String("  ");
}

QString FormatConnectionStamp(const QDateTime &when, const QLocale &locale)
{
    const QDate d = when.date();
    const QTime t = when.time();
    return QLatin1String("  ") + two(d.day()) + QLatin1Char('.')
           + locale.monthName(d.month(), QLocale::ShortFormat) + QLatin1Char('.')
           + QString::number(d.year()).rightJustified(4, QLatin1Char('0')) + QLatin1String(" - ")
           + two(t.hour()) + QLatin1Char('.') + two(t.minute()) + QLatin1Char('.')
           + two(t.second()) + QLatin1Char('.') + three(t.msec());
}
