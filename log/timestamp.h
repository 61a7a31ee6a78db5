#pragma once
// Time stamps of the traffic log.

#include <QDateTime>
#include <QLocale>
#include <QString>

// The locale's time separator (':' in most locales).
QChar LocaleTimeSeparator(const QLocale &locale = QLocale());

// "hh.nn.ss:zzz  ": 24-hour time, the locale's separator before the
// milliseconds, two blanks; 14 characters.
QString FormatTimeStampPrefix(const QTime &time, QChar separator);

// "  dd.mmm.yyyy - hh.nn.ss.zzz" with the locale's short month name.
QString FormatConnectionStamp(const QDateTime &when, const QLocale &locale = QLocale());

// The local time of day, read from the system clock without a time-zone
// look-up per call: the offset from UTC is taken again once a second, so a
// change of daylight-saving time shows within a second. Traffic lines are
// stamped at a high rate; a look-up each time costs a file-system call.
QTime LocalTimeNow();
