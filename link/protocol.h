#pragma once
// Pure helpers for I++ DME protocol lines and the numbers typed into fields.

#include <QByteArray>
#include <QChar>
#include <QString>

// Where a reply line's type stands: after the five characters of the tag
// and a blank.
constexpr int ReplyTypeIndex = 6;

// The line with leading and trailing blanks and control characters removed.
QString TrimControls(const QString &text);
QByteArrayView TrimControls(QByteArrayView text);

// The first five characters of the trimmed line (fewer when it is shorter).
QString GetTag(const QString &line);
QByteArrayView GetTag(QByteArrayView line);
inline QByteArrayView GetTag(const QByteArray &line)
{
    return GetTag(QByteArrayView(line));
}

// The seventh character of the trimmed line ('&', '%', '#', '!' in a reply
// line), or a null character when the line is shorter.
QChar GetType(const QString &line);
char GetType(QByteArrayView line); // '\0' when the line is shorter
inline char GetType(const QByteArray &line)
{
    return GetType(QByteArrayView(line));
}

// Whether `line` holds `word` (ASCII, written in capitals) in any letter case:
// what QString::contains gives with Qt::CaseInsensitive, in one quick pass
// for the Latin-1 text of the wire.
bool ContainsWord(const QString &line, QLatin1String word);
bool ContainsWord(QByteArrayView line, QLatin1String word);
inline bool ContainsWord(const QByteArray &line, QLatin1String word)
{
    return ContainsWord(QByteArrayView(line), word);
}

// The part of `text` before its first ';' (text unchanged when it has none).
QString StripComment(const QString &text);

// The tag number in a field: leading blanks skipped, an optional sign, then
// decimal digits or hexadecimal digits after "$", "x" or "0x"; reading stops
// at the first other character. A text read to its end keeps its sign; one
// that stops early gives the digits read so far without it; no digits give 0.
qint64 ReadTagNumber(const QString &text);

// A whole-text integer as typed into a port field: optional blanks before,
// optional sign, decimal or hexadecimal after "$" or "0x". False when the
// text is anything else or out of the int range.
bool ParseIntStrict(const QString &text, int &value);

// The message shown for a text that is not an integer.
QString NotAnIntegerMessage(const QString &text);

// The tag for number `n`: "E" + four digits for an event command, else five
// digits; longer numbers are not cut.
QString FormatTag(qint64 n, bool event);

// `n` and `command` as a tagged protocol line: "E" + four digits when the
// trimmed command ends in 'E' or contains "E(", else five digits; longer
// numbers are not cut. The command is trimmed of blanks and control characters,
// and a CR or LF inside it becomes a blank.
QString MakeTaggedLine(qint64 n, const QString &command);

// The text with each CR and LF in it replaced by a blank: one protocol line
// can never carry a line end in its middle.
QString SingleLine(const QString &text);

// The bytes that go onto the wire for one line: SingleLine(line) as Latin-1,
// then CR LF. Every command, whatever its source, goes out through this.
QByteArray WireLine(const QString &line);
QByteArray WireLine(QByteArrayView line);
inline QByteArray WireLine(const QByteArray &line)
{
    return WireLine(QByteArrayView(line));
}
