#include "check/replydata.h"

#include <QtEndian>

#include <array>
#include <cstring>

namespace check {

namespace {

// Walks the item names of a list, one at a time. A name's characters are one
// run, from the item's start to its first bracket or quote.
class ItemCursor {
public:
    explicit ItemCursor(QByteArrayView list) : list_(list) { }

    bool next(QByteArrayView *name)
    {
        if (pos_ > list_.size())
            return false;
        int depth = 0;
        bool quoted = false, inName = true;
        qsizetype from = -1, to = -1;
        qsizetype i = pos_;
        for (; i < list_.size(); ++i) {
            const char c = list_[i];
            if (quoted) {
                quoted = c != '"';
                continue;
            }
            if (c == '"') {
                quoted = true;
                inName = false;
            } else if (c == '(') {
                ++depth;
                inName = false;
            } else if (c == ')') {
                --depth;
            } else if (c == ',' && depth == 0) {
                break;
            } else if (inName && depth == 0) {
                if (from < 0)
                    from = i;
                to = i + 1;
            }
        }
        pos_ = i + 1;
        *name = from < 0 ? QByteArrayView() : list_.sliced(from, to - from).trimmed();
        return true;
    }

private:
    QByteArrayView list_;
    qsizetype pos_ = 0;
};

// The characters that matter to the structure of a list: brackets, quotes
// and the comma.
constexpr std::array<bool, 256> ListSyntax = [] {
    std::array<bool, 256> t{};
    for (const char c : {'"', '(', ')', ','})
        t[uchar(c)] = true;
    return t;
}();

inline bool IsListSyntax(char c)
{
    return ListSyntax[uchar(c)];
}

inline bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// The ')' that closes a bracket from `p` on, or nullptr when a '(' or a '"'
// comes first or nothing closes it. Eight bytes at a time: in each the first
// byte equal to a given one shows as the lowest marked byte.
const char *CloseOfPlainBracket(const char *p, const char *end)
{
    constexpr quint64 Ones = 0x0101010101010101ULL, Highs = 0x8080808080808080ULL;
    const auto equal = [](quint64 w, char c) {
        const quint64 x = w ^ (Ones * uchar(c));
        return (x - Ones) & ~x & Highs;
    };
    for (; end - p >= 8; p += 8) {
        const quint64 w = qFromLittleEndian<quint64>(p);
        const quint64 close = equal(w, ')'), other = equal(w, '(') | equal(w, '"');
        if (other && (!close || (other & -other) < (close & -close)))
            return nullptr;
        if (close)
            return p + qCountTrailingZeroBits(close) / 8;
    }
    for (; p < end; ++p) {
        if (*p == ')')
            return p;
        if (*p == '(' || *p == '"')
            return nullptr;
    }
    return nullptr;
}

// HasItemNames for the plain form nearly every data line has: items of a
// name and a bracket without brackets or quotes inside ("X(1.5), Y(2)"),
// blanks only around the items. -1 when the list is of another form.
int PlainHasItemNames(QByteArrayView list, QByteArrayView names)
{
    const char *p = list.data();
    const char *const end = p + list.size();
    const char *want = names.data();
    const char *const wantEnd = want + names.size();
    for (;;) {
        while (p < end && *p == ' ')
            ++p;
        const char *const name = p;
        while (p < end && want < wantEnd && *p == *want && IsNameChar(*p)) {
            ++p;
            ++want;
        }
        if (p == name || p == end || *p != '(')
            return -1;
        if (want < wantEnd && *want != ',')
            return 0; // a longer name was asked for
        p = CloseOfPlainBracket(p + 1, end);
        if (!p)
            return -1;
        for (++p; p < end && *p == ' ';)
            ++p;
        if (p == end)
            return want == wantEnd;
        if (*p != ',')
            return -1;
        if (want == wantEnd)
            return 0; // more items than asked for
        ++p;
        ++want;
    }
}

} // namespace

bool IsBlank(QByteArrayView s)
{
    for (char c : s)
        if (c != ' ' && c != '\t')
            return false;
    return true;
}

QByteArrayView ArgsOf(QByteArrayView command)
{
    const char *const p = command.data();
    const qsizetype n = command.size();
    const void *found = n > 0 ? std::memchr(p, '(', size_t(n)) : nullptr;
    if (!found)
        return {};
    const qsizetype open = static_cast<const char *>(found) - p;
    qsizetype close = n - 1;
    while (close > open && p[close] != ')')
        --close;
    if (close <= open)
        return {};
    return command.sliced(open + 1, close - open - 1);
}

QByteArray ItemNames(QByteArrayView list)
{
    QByteArray out;
    if (IsBlank(list))
        return out;
    out.reserve(list.size());
    ItemCursor items(list);
    QByteArrayView name;
    for (bool first = true; items.next(&name); first = false) {
        if (!first)
            out += ',';
        out.append(name);
    }
    return out;
}

bool HasItemNames(QByteArrayView list, QByteArrayView names)
{
    // Every data line of a Get comes here: one pass, the names compared as
    // they are met, blanks around a name skipped as ItemNames trims them.
    // Values and quoted text are skipped in tight loops, as nothing in them
    // but brackets and quotes matters.
    if (const int plain = PlainHasItemNames(list, names); plain >= 0)
        return plain == 1;
    if (IsBlank(list))
        return names.isEmpty();
    const char *p = list.data();
    const char *const end = p + list.size();
    const char *want = names.data();
    const char *const wantEnd = want + names.size();
    int depth = 0, blanks = 0;
    bool inName = true, started = false;
    while (p < end) {
        const char c = *p++;
        switch (c) {
        case '"': {
            const void *close = std::memchr(p, '"', size_t(end - p));
            p = close ? static_cast<const char *>(close) + 1 : end;
            inName = false;
            break;
        }
        case '(':
            ++depth;
            inName = false;
            break;
        case ')':
            --depth;
            break;
        case ',':
            if (depth != 0)
                break;
            if (want == wantEnd || *want != ',')
                return false;
            ++want;
            inName = true;
            started = false;
            blanks = 0;
            break;
        default:
            if (!inName || depth != 0) {
                while (p < end && !IsListSyntax(*p))
                    ++p;
            } else if (c == ' ') {
                blanks += started;
            } else {
                for (; blanks > 0; --blanks, ++want)
                    if (want == wantEnd || *want != ' ')
                        return false;
                started = true;
                if (want == wantEnd || *want != c)
                    return false;
                ++want;
            }
            break;
        }
    }
    return want == wantEnd;
}

qsizetype CountValues(QByteArrayView list)
{
    if (IsBlank(list))
        return 0;
    qsizetype values = 1;
    int depth = 0;
    bool quoted = false;
    for (const char c : list) {
        if (quoted) {
            quoted = c != '"';
        } else if (c == ',') {
            values += depth == 0;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == '"') {
            quoted = true;
        }
    }
    return values;
}

QString ShapeMismatch(const MethodInfo &m, QByteArrayView body, int vectors)
{
    const QByteArrayView b = body.trimmed();
    const QByteArrayView reply(m.reply);
    // Reply(...): the inner text, or false when the line is not of that form.
    auto call = [&](QByteArrayView *inner) {
        if (!b.startsWith(reply) || !b.endsWith(')'))
            return false;
        const QByteArrayView rest = b.sliced(reply.size()).trimmed();
        if (!rest.startsWith('('))
            return false;
        *inner = rest.sliced(1, rest.size() - 2).trimmed();
        return true;
    };
    QByteArrayView inner;
    switch (m.shape) {
    case DataShape::Bool:
        if (call(&inner) && (inner == "0" || inner == "1"))
            return {};
        return QStringLiteral("%1 data \"%2\" is not %3(0) or %3(1)")
            .arg(QLatin1String(m.name), Printable(b), QLatin1String(m.reply));
    case DataShape::Call:
        if (call(&inner) && (m.count < 0 || CountValues(inner) == m.count))
            return {};
        return QStringLiteral("%1 data \"%2\" is not %3(...) with %4 argument%5")
            .arg(QLatin1String(m.name), Printable(b), QLatin1String(m.reply))
            .arg(m.count)
            .arg(m.count == 1 ? QString() : QStringLiteral("s"));
    case DataShape::Quoted:
        if (b.size() >= 2 && b.front() == '"' && b.back() == '"'
            && b.sliced(1, b.size() - 2).indexOf('"') < 0)
            return {};
        return QStringLiteral("%1 data \"%2\" is not one quoted name")
            .arg(QLatin1String(m.name), Printable(b));
    case DataShape::Vectors: {
        // The numbers, bare or in brackets, with or without the method's name.
        inner = b;
        const qsizetype open = b.indexOf('(');
        if (open >= 0 && b.endsWith(')'))
            inner = b.sliced(open + 1, b.size() - open - 2);
        const qsizetype want = 3 * qsizetype(vectors);
        const qsizetype got = CountValues(inner);
        if (vectors <= 0 || got == want)
            return {};
        return QStringLiteral("%1 data holds %2 number%3 where %4 vector%5 of three were asked for")
            .arg(QLatin1String(m.name))
            .arg(got)
            .arg(got == 1 ? QString() : QStringLiteral("s"))
            .arg(vectors)
            .arg(vectors == 1 ? QString() : QStringLiteral("s"));
    }
    default:
        return {};
    }
}

QString Printable(QByteArrayView s, int max)
{
    QString out;
    for (qsizetype i = 0; i < s.size() && i < max; ++i) {
        const uchar c = uchar(s[i]);
        if (c >= 32 && c < 127)
            out += QLatin1Char(char(c));
        else
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (s.size() > max)
        out += QStringLiteral("...");
    return out;
}

} // namespace check
