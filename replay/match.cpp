#include "replay/match.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace replay {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsWordChar(char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '.';
}

// The length of a number starting at `i`, 0 when none does there. A number
// stands on its own: not inside a name such as Probe1 or E0000.
qsizetype NumberAt(QByteArrayView s, qsizetype i)
{
    if (i > 0 && IsWordChar(s[i - 1]))
        return 0;
    qsizetype j = i;
    if (j < s.size() && (s[j] == '-' || s[j] == '+'))
        ++j;
    const qsizetype digitsFrom = j;
    while (j < s.size() && IsDigit(s[j]))
        ++j;
    qsizetype digits = j - digitsFrom;
    if (j < s.size() && s[j] == '.') {
        ++j;
        const qsizetype from = j;
        while (j < s.size() && IsDigit(s[j]))
            ++j;
        digits += j - from;
    }
    if (digits == 0)
        return 0;
    if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        qsizetype k = j + 1;
        if (k < s.size() && (s[k] == '-' || s[k] == '+'))
            ++k;
        if (k < s.size() && IsDigit(s[k])) {
            while (k < s.size() && IsDigit(s[k]))
                ++k;
            j = k;
        }
    }
    if (j < s.size() && IsWordChar(s[j]) && s[j] != '.')
        return 0;
    return j - i;
}

double Value(QByteArrayView s)
{
    char buf[64];
    const size_t n = size_t(qMin<qsizetype>(s.size(), 63));
    std::memcpy(buf, s.data(), n);
    buf[n] = '\0';
    return std::strtod(buf, nullptr);
}

} // namespace

QByteArray Normalise(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        if (!quoted && (c == ' ' || c == '\t' || c == '\r'))
            continue;
        out += c;
    }
    return out;
}

QByteArray Normalise(const QByteArray &text)
{
    for (char c : text)
        if (c == ' ' || c == '\t' || c == '\r' || c == '"')
            return Normalise(QByteArrayView(text));
    return text;
}

QByteArray MethodName(QByteArrayView command)
{
    const qsizetype paren = command.indexOf('(');
    return Normalise(paren < 0 ? command : command.first(paren));
}

bool SameText(QByteArrayView a, QByteArrayView b, double tolerance)
{
    qsizetype i = 0, j = 0;
    bool quoted = false;
    while (i < a.size() && j < b.size()) {
        if (!quoted) {
            const qsizetype na = NumberAt(a, i), nb = NumberAt(b, j);
            if (na > 0 && nb > 0) {
                const QByteArrayView ta = a.sliced(i, na), tb = b.sliced(j, nb);
                if (ta != tb) {
                    const double va = Value(ta), vb = Value(tb);
                    if (!(std::fabs(va - vb) <= tolerance * (1 + 1e-9) + 1e-12 * std::fabs(va)))
                        return false;
                }
                i += na;
                j += nb;
                continue;
            }
        }
        if (a[i] != b[j])
            return false;
        if (a[i] == '"')
            quoted = !quoted;
        ++i;
        ++j;
    }
    return i == a.size() && j == b.size();
}

bool IsMotion(QByteArrayView method)
{
    static const char *const names[] = {"GoTo",       "PtMeas",    "Home",           "ChangeTool",
                                        "SetTool",    "AlignTool", "AlignPart",      "LockAxis",
                                        "CenterPart", "TiltPart",  "TiltCenterPart", "ReQualify"};
    for (const char *name : names)
        if (method == QByteArrayView(name))
            return true;
    return method.startsWith("Scan") || method.startsWith("Align");
}

int ErrorSeverity(QByteArrayView body)
{
    qsizetype i = 0;
    while (i < body.size() && body[i] == ' ')
        ++i;
    if (i >= body.size() || body[i] != '!')
        return -1;
    const qsizetype open = body.indexOf('(', i);
    if (open < 0)
        return -1;
    qsizetype k = open + 1;
    while (k < body.size() && body[k] == ' ')
        ++k;
    return k < body.size() && IsDigit(body[k]) ? body[k] - '0' : -1;
}

} // namespace replay
