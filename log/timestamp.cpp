#include "log/timestamp.h"

#include <QRegularExpression>

QChar LocaleTimeSeparator(const QLocale &locale)
{
    // The first character between the hour and minute fields of the
    // locale's short time format.
    const QString fmt = locale.timeFormat(QLocale::ShortFormat);
    static const QRegularExpression hourField(QStringLiteral("[hH]"));
    const qsizetype h = fmt.indexOf(hourField);
    if (h >= 0) {
        for (qsizetype i = h; i < fmt.size(); ++i) {
            const QChar c = fmt.at(i);
            if (c != QLatin1Char('h') && c != QLatin1Char('H') && !c.isSpace() && !c.isLetter())
                return c == QLatin1Char('\'') ? QLatin1Char(':') : c;
        }
    }
    return QLatin1Char(':');
}

static QString two(int v)
{
    return QString::number(v).rightJustified(2, QLatin1Char('0'));
}
static QString three(int v)
{
    return QString::number(v).rightJustified(3, QLatin1Char('0'));
}

QString FormatTimeStampPrefix(const QTime &t, QChar separator)
{
    // Written digit by digit: every traffic line gets one of these.
    QChar out[14];
    auto put2 = [&out](int at, int v) {
        out[at] = QLatin1Char(char('0' + v / 10));
        out[at + 1] = QLatin1Char(char('0' + v % 10));
    };
    put2(0, t.hour());
    out[2] = QLatin1Char('.');
    put2(3, t.minute());
    out[5] = QLatin1Char('.');
    put2(6, t.second());
    out[8] = separator;
    const int ms = t.msec();
    out[9] = QLatin1Char(char('0' + ms / 100));
    put2(10, ms % 100);
    out[12] = out[13] = QLatin1Char(' ');
    return QString(out, 14);
}

QString FormatConnectionStamp(const QDateTime &when, const QLocale &locale)
{
    const QDate d = when.date();
    const QTime t = when.time();
    return QLatin1String("  ") + two(d.day()) + QLatin1Char('.')
        + locale.monthName(d.month(), QLocale::ShortFormat) + QLatin1Char('.')
        + QString::number(d.year()).rightJustified(4, QLatin1Char('0')) + QLatin1String(" - ") + two(t.hour())
        + QLatin1Char('.') + two(t.minute()) + QLatin1Char('.') + two(t.second()) + QLatin1Char('.')
        + three(t.msec());
}

QTime LocalTimeNow()
{
    static bool offsetTaken = false;
    static qint64 offsetTakenAt = 0;
    static qint64 offsetMs = 0;
    const qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    if (!offsetTaken || utcMs - offsetTakenAt >= 1000 || utcMs < offsetTakenAt) {
        offsetTaken = true;
        offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc()) * 1000;
        offsetTakenAt = utcMs;
    }
    constexpr qint64 Day = 24LL * 3600 * 1000;
    const qint64 ms = ((utcMs + offsetMs) % Day + Day) % Day;
    return QTime::fromMSecsSinceStartOfDay(int(ms));
}
