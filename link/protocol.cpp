#include "link/protocol.h"

#include <limits>

QString TrimControls(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 32)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

QByteArrayView TrimControls(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && uchar(text[begin]) <= 32)
        ++begin;
    while (end > begin && uchar(text[end - 1]) <= 32)
        --end;
    return text.sliced(begin, end - begin);
}

QString GetTag(const QString &line)
{
    return TrimControls(line).left(5);
}

QByteArrayView GetTag(QByteArrayView line)
{
    const QByteArrayView t = TrimControls(line);
    return t.first(qMin<qsizetype>(5, t.size()));
}

QChar GetType(const QString &line)
{
    const QString t = TrimControls(line);
    return t.size() > ReplyTypeIndex ? t.at(ReplyTypeIndex) : QChar();
}

char GetType(QByteArrayView line)
{
    const QByteArrayView t = TrimControls(line);
    return t.size() > ReplyTypeIndex ? t[ReplyTypeIndex] : '\0';
}

bool ContainsWord(const QString &line, QLatin1String word)
{
    const QChar *text = line.constData();
    for (qsizetype i = 0; i < line.size(); ++i)
        if (text[i].unicode() > 0xff)
            return line.contains(word, Qt::CaseInsensitive); // beyond Latin-1: Qt's own folding
    // A letter of the word matches its small letter too; anything else only itself.
    const auto same = [](char16_t c, char w) {
        return c == char16_t(uchar(w)) || (w >= 'A' && w <= 'Z' && c == char16_t(uchar(w) | 0x20));
    };
    const qsizetype n = word.size();
    for (qsizetype i = 0; i + n <= line.size(); ++i) {
        qsizetype k = 0;
        while (k < n && same(text[i + k].unicode(), word.data()[k]))
            ++k;
        if (k == n)
            return true;
    }
    return false;
}

bool ContainsWord(QByteArrayView line, QLatin1String word)
{
    // A letter of the word matches its small letter too; anything else only itself.
    const auto same = [](char c, char w) { return c == w || (w >= 'A' && w <= 'Z' && c == char(w | 0x20)); };
    const qsizetype n = word.size();
    const char *text = line.data();
    for (qsizetype i = 0; i + n <= line.size(); ++i) {
        qsizetype k = 0;
        while (k < n && same(text[i + k], word.data()[k]))
            ++k;
        if (k == n)
            return true;
    }
    return false;
}

QString StripComment(const QString &text)
{
    const qsizetype semi = text.indexOf(QLatin1Char(';'));
    return semi < 0 ? text : text.left(semi);
}

namespace {

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

struct NumberScan {
    qint64 value = 0;
    bool negative = false;
    bool anyDigits = false;
    bool toEnd = false; // every character was used
    bool overflow = false;
    qsizetype start = 0; // first character after the leading blanks
};

NumberScan scanNumber(const QString &text)
{
    NumberScan s;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i) == QLatin1Char(' '))
        ++i;
    s.start = i;
    if (i < n && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        s.negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < n && text.at(i) == QLatin1Char('$')) {
        base = 16;
        ++i;
    } else if (i < n && (text.at(i) == QLatin1Char('x') || text.at(i) == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text.at(i) == QLatin1Char('0')
               && (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    const qint64 limit = std::numeric_limits<qint64>::max() / 16 - 16;
    for (; i < n; ++i) {
        const int d = hexValue(text.at(i));
        if (d < 0 || d >= base)
            break;
        if (s.value > limit) {
            s.overflow = true;
            break;
        }
        s.value = s.value * base + d;
        s.anyDigits = true;
    }
    s.toEnd = i == n;
    return s;
}

} // namespace

qint64 ReadTagNumber(const QString &text)
{
    const NumberScan s = scanNumber(text);
    if (!s.anyDigits)
        return 0;
    return (s.toEnd && s.negative) ? -s.value : s.value;
}

bool ParseIntStrict(const QString &text, int &value)
{
    const NumberScan s = scanNumber(text);
    if (!s.anyDigits || !s.toEnd || s.overflow)
        return false;
    const qint64 v = s.negative ? -s.value : s.value;
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = int(v);
    return true;
}

QString NotAnIntegerMessage(const QString &text)
{
    return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

QString FormatTag(qint64 n, bool event)
{
    const QString digits = QString::number(n);
    return event ? QLatin1Char('E') + digits.rightJustified(4, QLatin1Char('0'))
                 : digits.rightJustified(5, QLatin1Char('0'));
}

QString MakeTaggedLine(qint64 n, const QString &command)
{
    const QString cmd = TrimControls(SingleLine(command));
    const bool event = cmd.endsWith(QLatin1Char('E')) || cmd.contains(QLatin1String("E("));
    return FormatTag(n, event) + QLatin1Char(' ') + cmd;
}

QString SingleLine(const QString &text)
{
    if (!text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString out = text;
    for (QChar &c : out)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    return out;
}

QByteArray WireLine(const QString &line)
{
    QByteArray bytes = line.toLatin1();
    for (char &c : bytes)
        if (c == '\r' || c == '\n')
            c = ' ';
    bytes += "\r\n";
    return bytes;
}

QByteArray WireLine(QByteArrayView line)
{
    QByteArray bytes;
    bytes.reserve(line.size() + 2);
    bytes.append(line.data(), line.size());
    for (char &c : bytes)
        if (c == '\r' || c == '\n')
            c = ' ';
    bytes.append("\r\n", 2);
    return bytes;
}
