#include "check/protocolchecker.h"

#include <algorithm>
#include <cstring>

namespace check {

namespace {

constexpr quint32 EventBase = 100000;
constexpr quint32 KeySpace = EventBase + 10000;

enum class DataKind : quint8 { Unknown, None, Data, Daemon };

struct KnownMethod {
    const char *name;
    DataKind kind;
};

// What each command of the standard returns.
constexpr KnownMethod KnownMethods[] = {
    {"StartSession", DataKind::None},
    {"EndSession", DataKind::None},
    {"StopDaemon", DataKind::None},
    {"StopAllDaemons", DataKind::None},
    {"AbortE", DataKind::None},
    {"ClearAllErrors", DataKind::None},
    {"SetProp", DataKind::None},
    {"Home", DataKind::None},
    {"EnableUser", DataKind::None},
    {"DisableUser", DataKind::None},
    {"OnPtMeasReport", DataKind::None},
    {"OnScanReport", DataKind::None},
    {"GoTo", DataKind::None},
    {"ChangeTool", DataKind::None},
    {"SetTool", DataKind::None},
    {"FindTool", DataKind::None},
    {"SetCoordSystem", DataKind::None},
    {"SetCsyTransformation", DataKind::None},
    {"SaveActiveCoordSystem", DataKind::None},
    {"LoadCoordSystem", DataKind::None},
    {"DeleteCoordSystem", DataKind::None},
    {"LockAxis", DataKind::None},
    {"Get", DataKind::Data},
    {"GetProp", DataKind::Data},
    {"GetPropE", DataKind::Data},
    {"EnumTools", DataKind::Data},
    {"EnumAllProp", DataKind::Data},
    // EnumProp of a leaf property returns nothing.
    {"EnumProp", DataKind::Unknown},
    {"PtMeas", DataKind::Data},
    {"IsHomed", DataKind::Data},
    {"IsUserEnabled", DataKind::Data},
    {"GetDMEVersion", DataKind::Data},
    {"GetErrStatusE", DataKind::Data},
    {"GetXtdErrStatus", DataKind::Data},
    {"GetErrorInfo", DataKind::Data},
    {"GetMachineClass", DataKind::Data},
    {"GetChangeToolAction", DataKind::Data},
    {"GetCoordSystem", DataKind::Data},
    {"GetCsyTransformation", DataKind::Data},
    {"EnumCoordSystems", DataKind::Data},
    {"GetNamedCsyTransformation", DataKind::Data},
    {"OnMoveReportE", DataKind::Daemon},
};

DataKind KindOf(QByteArrayView name)
{
    for (const KnownMethod &m : KnownMethods)
        if (name == QByteArrayView(m.name))
            return m.kind;
    return DataKind::Unknown;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsIdentifier(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_' || c == '.'))
            return false;
    return true;
}

bool EqualsNoCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = char(x - 32);
        if (y >= 'a' && y <= 'z')
            y = char(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// The text between the first '(' and its closing ')', or empty.
QByteArrayView ArgsOf(QByteArrayView command)
{
    const qsizetype open = command.indexOf('(');
    const qsizetype close = command.lastIndexOf(')');
    if (open < 0 || close <= open)
        return {};
    return command.sliced(open + 1, close - open - 1);
}

// The item names of a list such as "X(1), Y(2), Tool.A()": "X,Y,Tool.A".
// Commas inside brackets or quotes do not split.
QByteArray ItemNames(QByteArrayView list)
{
    // Every data line goes through here: the names are taken as views of the
    // list (a name's characters are one run, from the item's start to its
    // first bracket or quote), into one buffer.
    QByteArray out;
    out.reserve(list.size());
    int depth = 0;
    bool quoted = false, inName = true;
    qsizetype nameFrom = -1, nameTo = -1;
    auto flush = [&] {
        const QByteArrayView n =
            nameFrom < 0 ? QByteArrayView() : list.sliced(nameFrom, nameTo - nameFrom).trimmed();
        if (!out.isEmpty() || !n.isEmpty()) {
            if (!out.isEmpty() || n.isEmpty())
                out += ',';
            out.append(n);
        }
        nameFrom = nameTo = -1;
        inName = true;
    };
    for (qsizetype i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
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
            flush();
        } else if (inName && depth == 0) {
            if (nameFrom < 0)
                nameFrom = i;
            nameTo = i + 1;
        }
    }
    flush();
    return out;
}

QByteArray TagPrefix(QByteArrayView tag)
{
    return tag.isEmpty() ? QByteArray() : QByteArray(tag.data(), tag.size()) + ": ";
}

QString Printable(QByteArrayView s, int max = 40)
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

} // namespace

const char *LegName(Leg leg)
{
    return leg == Leg::Operator ? "operator" : "relay";
}

quint32 TagKey(QByteArrayView tag)
{
    if (tag.size() != 5)
        return 0;
    if (tag[0] == 'E') {
        quint32 n = 0;
        for (int i = 1; i < 5; ++i) {
            if (!IsDigit(tag[i]))
                return 0;
            n = n * 10 + quint32(tag[i] - '0');
        }
        return EventBase + n;
    }
    quint32 n = 0;
    for (int i = 0; i < 5; ++i) {
        if (!IsDigit(tag[i]))
            return 0;
        n = n * 10 + quint32(tag[i] - '0');
    }
    return n;
}

QByteArray TagText(quint32 key)
{
    if (key >= EventBase)
        return 'E' + QByteArray::number(key - EventBase).rightJustified(4, '0');
    return QByteArray::number(key).rightJustified(5, '0');
}

QByteArray Transaction::tag() const
{
    return TagText(key);
}

struct OpenTxn {
    Transaction t;
    quint64 seq = 0;
    DataKind kind = DataKind::Unknown;
    bool orderReported = false, overlapReported = false, dataReported = false, matchReported = false;
    QByteArray want; // item names the data must hold (Get, PtMeas)
    qint64 stopsDaemon = -1; // StopDaemon(Ennnn): n
};

// The open transactions of a leg by tag key. Every line looks one up, so it
// is a flat table: a slot per key into a dense array (which also keeps the
// iteration short). Removing moves the last entry into the gap, so, as with
// a hash, a reference to an entry holds only until the next insert or remove.
class OpenTable {
public:
    using Entry = std::pair<quint32, OpenTxn>;
    template <typename E> class Iter {
    public:
        explicit Iter(E *e) : e(e) { }
        quint32 key() const { return e->first; }
        auto &operator*() const { return e->second; }
        auto *operator->() const { return &e->second; }
        Iter &operator++()
        {
            ++e;
            return *this;
        }
        bool operator!=(const Iter &o) const { return e != o.e; }
        bool operator==(const Iter &o) const { return e == o.e; }

    private:
        E *e;
    };
    using iterator = Iter<Entry>;
    using const_iterator = Iter<const Entry>;

    iterator begin() { return iterator(entries.data()); }
    iterator end() { return iterator(entries.data() + entries.size()); }
    const_iterator begin() const { return const_iterator(entries.data()); }
    const_iterator end() const { return const_iterator(entries.data() + entries.size()); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    const_iterator constEnd() const { return end(); }

    iterator find(quint32 key)
    {
        const int i = indexOf(key);
        return i < 0 ? end() : iterator(entries.data() + i);
    }
    const_iterator constFind(quint32 key) const
    {
        const int i = indexOf(key);
        return i < 0 ? end() : const_iterator(entries.data() + i);
    }
    // Only for a key that is open.
    OpenTxn &operator[](quint32 key) { return entries[size_t(indexOf(key))].second; }
    iterator insert(quint32 key, const OpenTxn &value)
    {
        if (slotOf.empty())
            slotOf.assign(KeyCount, -1);
        int &slot = slotOf[key];
        if (slot >= 0) {
            entries[size_t(slot)].second = value;
        } else {
            slot = int(entries.size());
            entries.emplace_back(key, value);
        }
        return iterator(entries.data() + slot);
    }
    void remove(quint32 key)
    {
        const int i = indexOf(key);
        if (i < 0)
            return;
        if (size_t(i) + 1 != entries.size()) {
            entries[size_t(i)] = std::move(entries.back());
            slotOf[entries[size_t(i)].first] = i;
        }
        entries.pop_back();
        slotOf[key] = -1;
    }
    void clear()
    {
        for (const Entry &e : entries)
            slotOf[e.first] = -1;
        entries.clear();
    }
    qsizetype size() const { return qsizetype(entries.size()); }
    bool isEmpty() const { return entries.empty(); }

private:
    static constexpr quint32 KeyCount = EventBase + 10000;
    int indexOf(quint32 key) const { return key < slotOf.size() ? slotOf[key] : -1; }
    std::vector<int> slotOf; // key -> index in entries, -1 when not open
    std::vector<Entry> entries;
};

struct DaemonRate {
    qint64 times[11] = {};
    int n = 0, head = 0;
    bool reported = false;
};

struct ProtocolChecker::LegState {
    Leg leg = Leg::Operator;
    OpenTable open;
    std::deque<std::pair<quint32, quint64>> order; // command tags, in send order
    std::deque<std::pair<quint32, quint64>> eventOrder; // event tags, in send order
    quint64 nextSeq = 1;
    // Per key: 0 unused, 1 completed, 2 closed quietly (error state, dropped),
    // 3 closed by AbortE's completion.
    std::vector<quint8> mark;
    std::vector<qint64> closedAt;
    // Per event number: 0 none, 1 daemon running, 2 stopped, 3 ended with the session.
    std::vector<quint8> daemon;
    QHash<quint32, DaemonRate> rates;
    enum { Unknown, In, Ending, Out } session = Unknown;
    bool errorState = false;
    qint64 errorLine = -1;
    bool abortPending = false;
    qint64 abortLine = -1;
    bool afterAbort = false;
    bool awaiting = false, awaitPercent = false;
    quint32 awaitKey = 0;
    quint64 awaitSeq = 0;
    qint64 awaitLine = -1;
    bool rejectPending = false;
    qint64 rejectLine = -1;
    QByteArray ptMeasFormat = "X,Y,Z";
    bool anyCommand = false;
    bool limitReported = false;
    qint64 dropped = 0;
    LegTotals totals;

    LegState() : mark(KeySpace, 0), closedAt(KeySpace, -1), daemon(10000, 0) { }
};

ProtocolChecker::ProtocolChecker(RuleSet rules) : rules_(rules)
{
    for (int i = 0; i < LegCount; ++i) {
        legs_[i] = std::make_unique<LegState>();
        legs_[i]->leg = Leg(i);
    }
}

ProtocolChecker::~ProtocolChecker() = default;

qint64 ProtocolChecker::findingCount(Severity s) const
{
    qint64 n = 0;
    for (int r = 0; r < RuleCount; ++r)
        n += counts_[r][size_t(s)];
    return n;
}

qint64 ProtocolChecker::findingCount() const
{
    return findingCount(Severity::Note) + findingCount(Severity::Warning) + findingCount(Severity::Error);
}

const LegTotals &ProtocolChecker::totals(Leg leg) const
{
    LegState &s = *legs_[int(leg) & 1];
    s.totals.open = int(s.open.size());
    return s.totals;
}

const QByteArray &ProtocolChecker::methodName(int index) const
{
    return methods_.at(size_t(index)).name;
}
const MethodStats &ProtocolChecker::methodStats(int index) const
{
    return methods_.at(size_t(index)).stats;
}

QVector<ErrorSeen> ProtocolChecker::errorsSeen() const
{
    QVector<ErrorSeen> out;
    for (auto it = errors_.cbegin(); it != errors_.cend(); ++it)
        out.append(it.value());
    std::sort(out.begin(), out.end(), [](const ErrorSeen &a, const ErrorSeen &b) {
        return a.number != b.number ? a.number < b.number : a.severity < b.severity;
    });
    return out;
}

const Transaction &ProtocolChecker::completed(int i) const
{
    if (ringFill_ < size_t(RingSize))
        return ring_.at(size_t(i));
    return ring_.at((ringHead_ + size_t(i)) % size_t(RingSize));
}

int ProtocolChecker::internMethod(QByteArrayView name)
{
    const QByteArray key = QByteArray::fromRawData(name.data(), name.size());
    auto it = methodIndex_.constFind(key);
    if (it != methodIndex_.constEnd())
        return it.value();
    QByteArray owned(name.data(), name.size());
    if (methods_.size() >= size_t(MaxMethods - 1)) {
        // Further names share one entry, so garbage cannot grow the table.
        owned = QByteArrayLiteral("(other)");
        auto other = methodIndex_.constFind(owned);
        if (other != methodIndex_.constEnd())
            return other.value();
    }
    const int index = int(methods_.size());
    methods_.push_back(MethodEntry{owned, MethodStats()});
    methodIndex_.insert(owned, index);
    return index;
}

bool ProtocolChecker::counted(LegState &s, Rule r, Severity sev)
{
    if (!rules_.on(r))
        return false;
    ++counts_[size_t(r)][size_t(sev)];
    ++s.totals.findings;
    return onFinding_ && detail_[size_t(r)];
}

void ProtocolChecker::pass(LegState &s, Rule r, Severity sev, QByteArrayView tag, qint64 line, qint64 related,
                           const QString &text)
{
    Finding f;
    f.rule = r;
    f.severity = sev;
    f.leg = s.leg;
    f.tag = QByteArray(tag.data(), tag.size());
    f.line = line;
    f.relatedLine = related;
    f.text = QString::fromLatin1(TagPrefix(tag)) + text;
    onFinding_(f);
}

Transaction *ProtocolChecker::openTxn(LegState &s, quint32 key)
{
    auto it = s.open.find(key);
    return it == s.open.end() ? nullptr : &it->t;
}

void ProtocolChecker::dropTxn(LegState &s, quint32 key)
{
    if (onTxn_) {
        auto it = s.open.constFind(key);
        if (it != s.open.constEnd())
            onTxn_(TxnEvent::Closed, it->t, curPos_);
    }
    s.open.remove(key);
    // Keep the order queues from growing behind a transaction that stays open.
    auto compact = [&](std::deque<std::pair<quint32, quint64>> &q) {
        while (!q.empty()) {
            auto it = s.open.constFind(q.front().first);
            if (it != s.open.constEnd() && it->seq == q.front().second)
                break;
            q.pop_front();
        }
        if (q.size() > 2 * size_t(s.open.size()) + 1024) {
            std::deque<std::pair<quint32, quint64>> kept;
            for (const auto &e : q) {
                auto it = s.open.constFind(e.first);
                if (it != s.open.constEnd() && it->seq == e.second)
                    kept.push_back(e);
            }
            q.swap(kept);
        }
    };
    compact(s.order);
    compact(s.eventOrder);
}

bool ProtocolChecker::checkLineBytes(LegState &s, QByteArrayView line, qint64 pos, LineEnd end,
                                     QByteArrayView tag)
{
    bool clean = true;
    bool charsetSeen = false, crlfSeen = false;
    const char *p = line.data();
    const qsizetype n = line.size();
    for (qsizetype i = 0; i < n; ++i) {
        const uchar c = uchar(p[i]);
        if (c >= 32 && c <= 126)
            continue;
        clean = false;
        if (c == '\r' || c == '\n') {
            if (!crlfSeen) {
                crlfSeen = true;
                report(s, Rule::Crlf, Severity::Error, tag, pos, -1, [&] {
                    return QStringLiteral("%1 inside the line at column %2")
                        .arg(c == '\r' ? QStringLiteral("lone CR") : QStringLiteral("bare LF"))
                        .arg(i + 1);
                });
            }
        } else if (!charsetSeen) {
            charsetSeen = true;
            report(s, Rule::Charset, Severity::Error, tag, pos, -1, [&] {
                return QStringLiteral("illegal character 0x%1 at column %2")
                    .arg(c, 2, 16, QLatin1Char('0'))
                    .arg(i + 1);
            });
        }
    }
    switch (end) {
    case LineEnd::Lf:
        report(s, Rule::Crlf, Severity::Error, tag, pos, -1, QStringLiteral("line ends in a bare LF"));
        break;
    case LineEnd::Cr:
        report(s, Rule::Crlf, Severity::Error, tag, pos, -1, QStringLiteral("line ends in a lone CR"));
        break;
    case LineEnd::LfCr:
        report(s, Rule::Crlf, Severity::Error, tag, pos, -1,
               QStringLiteral("line ends in LF CR instead of CR LF"));
        break;
    case LineEnd::Missing:
        report(s, Rule::Crlf, Severity::Warning, tag, pos, -1, QStringLiteral("line has no line end"));
        break;
    default:
        break;
    }
    return clean;
}

void ProtocolChecker::feed(Leg leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 position,
                           LineEnd end)
{
    feedLong(leg, dir, timeUs, line, line.size(), position, end);
}

void ProtocolChecker::feedLong(Leg leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 fullLength,
                               qint64 position, LineEnd end)
{
    ++fed_;
    const qint64 pos = position >= 0 ? position : fed_;
    curPos_ = pos;
    LegState &s = *legs_[int(leg) & 1];
    if (dir == Direction::ToServer)
        ++s.totals.linesToServer;
    else
        ++s.totals.linesFromServer;

    // A view, not a copy: no allocation for a line without a finding.
    const QByteArrayView tagText =
        line.size() >= 5 && TagKey(line.first(5)) != 0 ? line.first(5) : QByteArrayView();
    checkLineBytes(s, line, pos, end, tagText);
    if (fullLength + rules_.lengthLimitOverhead() > MaxLineLength)
        report(s, Rule::Length, Severity::Warning, tagText, pos, -1, [&] {
            return QStringLiteral("line of %1 characters, more than %2").arg(fullLength).arg(MaxLineLength);
        });

    if (dir == Direction::ToServer)
        onClientLine(s, timeUs, line, pos);
    else
        onServerLine(s, timeUs, line, pos);
}

void ProtocolChecker::onClientLine(LegState &s, qint64 t, QByteArrayView line, qint64 pos)
{
    // Pacing: the previous command must have had its '&' (StartSession: its '%').
    if (s.awaiting) {
        auto it = s.open.constFind(s.awaitKey);
        if (it != s.open.constEnd() && it->seq == s.awaitSeq
            && (s.awaitPercent ? it->t.state != TxnState::Done : it->t.state == TxnState::Sent)) {
            const QByteArray prev = TagText(s.awaitKey);
            report(s, Rule::AckFirst, Severity::Error, line.size() >= 5 ? line.first(5) : line, pos,
                   s.awaitLine, [&] {
                       return QStringLiteral("command sent before the %1 of %2 (line %3)")
                           .arg(s.awaitPercent ? QStringLiteral("'%'") : QStringLiteral("'&'"),
                                QString::fromLatin1(prev))
                           .arg(s.awaitLine);
                   });
        }
        s.awaiting = false;
    }
    if (s.rejectPending) {
        report(s, Rule::AckFirst, Severity::Warning, {}, pos, s.rejectLine,
               [&] { return QStringLiteral("command sent before any answer to line %1").arg(s.rejectLine); });
        s.rejectPending = false;
    }

    // The tag.
    const QByteArrayView tag = line.first(qMin<qsizetype>(5, line.size()));
    quint32 key = TagKey(tag);
    const bool blankAfter = line.size() > 5 && line[5] == ' ';
    if (line.isEmpty()) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, QStringLiteral("empty line"));
        key = 0;
    } else if (key == 0) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, [&] {
            return tag == "00000" ? QStringLiteral("tag 00000 is not a valid command tag")
                                  : QStringLiteral("\"%1\" is not a tag (00001-99999 or E0001-E9999)")
                                        .arg(Printable(line.first(qMin<qsizetype>(8, line.size()))));
        });
    } else if (key == EventBase) {
        report(s, Rule::TagFormat, Severity::Error, tag, pos, -1,
               QStringLiteral("E0000 is reserved for the server"));
        key = 0;
    } else if (!blankAfter) {
        report(s, Rule::TagFormat, Severity::Error, tag, pos, -1, [&] {
            return line.size() > 5 ? QStringLiteral("no blank after the tag in column 6")
                                   : QStringLiteral("tag without a command");
        });
        key = 0;
    }
    if (key == 0) {
        // A server answers a line it cannot tag with an E0000 "Illegal tag".
        s.rejectPending = true;
        s.rejectLine = pos;
        return;
    }

    const QByteArrayView command = line.sliced(6);
    qsizetype nameEnd = 0;
    while (nameEnd < command.size() && command[nameEnd] != '(' && command[nameEnd] != ' ')
        ++nameEnd;
    const QByteArrayView name = command.first(nameEnd);
    const int method = internMethod(name.isEmpty() ? QByteArrayView("(none)") : name);
    const DataKind kind = KindOf(name);
    const bool eventMethod = name.size() > 1 && name.back() == 'E' && IsIdentifier(name);
    const bool eventTag = key > EventBase;
    ++s.totals.commands;
    s.anyCommand = true;

    if (eventTag && !eventMethod)
        report(s, Rule::EventTag, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("event tag on %1, which is no event command")
                .arg(Printable(name.isEmpty() ? command : name));
        });
    else if (!eventTag && eventMethod && !rules_.eventCommandWithCommandTag())
        report(s, Rule::EventTag, Severity::Error, tag, pos, -1,
               [&] { return QStringLiteral("event command %1 with a command tag").arg(Printable(name)); });

    const bool isStart = name == "StartSession", isEnd = name == "EndSession";
    const bool isClear = name == "ClearAllErrors", isAbort = name == "AbortE";

    // Session.
    if (isStart) {
        if (s.session == LegState::In)
            report(s, Rule::Session, Severity::Error, tag, pos, -1,
                   QStringLiteral("StartSession inside a session"));
        s.session = LegState::In;
        s.ptMeasFormat = "X,Y,Z";
    } else if (isEnd) {
        if (s.session != LegState::Unknown)
            s.session = LegState::Ending;
    } else if (s.session == LegState::Out) {
        report(s, Rule::Session, Severity::Error, tag, pos, -1,
               [&] { return QStringLiteral("%1 outside a session").arg(Printable(name)); });
    }

    // Abort sequence.
    if (s.abortPending && !isAbort) {
        report(s, Rule::Abort, Severity::Error, tag, pos, s.abortLine, [&] {
            return QStringLiteral("command sent before AbortE (line %1) completed").arg(s.abortLine);
        });
    } else if (s.afterAbort && !isClear) {
        report(s, Rule::Abort, Severity::Error, tag, pos, s.abortLine, [&] {
            return QStringLiteral("%1 after AbortE; ClearAllErrors must come first").arg(Printable(name));
        });
    }
    s.afterAbort = false;

    // Error state.
    if (s.errorState && !isClear && name != "GetErrStatusE" && name != "GetXtdErrStatus")
        report(s, Rule::ErrorState, Severity::Error, tag, pos, s.errorLine, [&] {
            return QStringLiteral("%1 before ClearAllErrors after the error at line %2")
                .arg(Printable(name))
                .arg(s.errorLine);
        });

    // Tag reuse.
    if (Transaction *old = openTxn(s, key)) {
        report(s, Rule::TagUnique, Severity::Error, tag, pos, old->commandLine, [&] {
            return QStringLiteral("tag still in use by the command at line %1").arg(old->commandLine);
        });
        s.mark[key] = 2;
        dropTxn(s, key);
    } else if (eventTag && s.daemon[key - EventBase] == 1) {
        report(s, Rule::TagUnique, Severity::Error, tag, pos, -1,
               QStringLiteral("tag of a daemon still running"));
    }
    if (eventTag)
        s.daemon[key - EventBase] = 0;
    s.mark[key] = 0;

    // Cap on open transactions.
    if (s.open.size() >= openCap_) {
        ++s.dropped;
        if (!s.limitReported) {
            s.limitReported = true;
            report(s, Rule::OpenLimit, Severity::Warning, tag, pos, -1, [&] {
                return QStringLiteral("more than %1 transactions open on the %2 leg; the oldest are dropped")
                    .arg(openCap_)
                    .arg(QLatin1String(LegName(s.leg)));
            });
        }
        std::deque<std::pair<quint32, quint64>> &q =
            s.eventOrder.empty() || (!s.order.empty() && s.order.front().second < s.eventOrder.front().second)
            ? s.order
            : s.eventOrder;
        if (!q.empty()) {
            const quint32 victim = q.front().first;
            s.mark[victim] = 2;
            dropTxn(s, victim);
        }
    }

    OpenTxn o;
    o.seq = s.nextSeq++;
    o.kind = kind;
    o.t.key = key;
    o.t.method = method;
    o.t.leg = s.leg;
    o.t.commandLine = pos;
    o.t.tSent = t;
    if (name == "Get") {
        o.want = ItemNames(ArgsOf(command));
    } else if (name == "PtMeas") {
        o.want = s.ptMeasFormat;
    } else if (name == "OnPtMeasReport") {
        s.ptMeasFormat = ItemNames(ArgsOf(command));
    } else if (name == "StopDaemon") {
        const QByteArrayView args = ArgsOf(command).trimmed();
        const quint32 d = TagKey(args);
        if (d > EventBase)
            o.stopsDaemon = qint64(d - EventBase);
    } else if (kind == DataKind::Daemon) {
        const QByteArrayView args = ArgsOf(command);
        const qsizetype at = args.indexOf("Time(");
        if (at >= 0 && (at == 0 || args[at - 1] == ',' || args[at - 1] == ' ')) {
            const QByteArrayView rest = args.sliced(at + 5);
            const qsizetype close = rest.indexOf(')');
            bool ok = false;
            const double period = QByteArray(rest.data(), close < 0 ? 0 : close).trimmed().toDouble(&ok);
            if (ok && period < 0.1)
                report(s, Rule::Daemon, Severity::Warning, tag, pos, -1,
                       [&] { return QStringLiteral("report period Time(%1) below 0.1 s").arg(period); });
        }
    }
    if (isAbort) {
        s.abortPending = true;
        s.abortLine = pos;
    }
    auto inserted = s.open.insert(key, o);
    if (onTxn_)
        onTxn_(TxnEvent::Opened, inserted->t, pos);
    (eventTag ? s.eventOrder : s.order).emplace_back(key, o.seq);

    s.awaiting = true;
    s.awaitKey = key;
    s.awaitSeq = o.seq;
    s.awaitLine = pos;
    s.awaitPercent = isStart;
}

void ProtocolChecker::onServerLine(LegState &s, qint64 t, QByteArrayView line, qint64 pos)
{
    if (line.size() < 7) {
        if (line.isEmpty())
            report(s, Rule::ReplyFormat, Severity::Error, {}, pos, -1, QStringLiteral("empty line"));
        else if (line.size() >= 5 && TagKey(line.first(5)) != 0)
            report(s, Rule::ReplyFormat, Severity::Error, line.first(5), pos, -1,
                   QStringLiteral("reply without a type"));
        else
            report(s, Rule::TagFormat, Severity::Error, {}, pos, -1,
                   [&] { return QStringLiteral("\"%1\" is not a tagged reply").arg(Printable(line)); });
        return;
    }
    const QByteArrayView tag = line.first(5);
    const quint32 key = TagKey(tag);
    if (key == 0) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, [&] {
            return tag == "00000" ? QStringLiteral("tag 00000 in a reply")
                                  : QStringLiteral("\"%1\" is not a tag")
                                        .arg(Printable(line.first(qMin<qsizetype>(8, line.size()))));
        });
        return;
    }
    if (line[5] != ' ') {
        report(s, Rule::TagFormat, Severity::Error, tag, pos, -1,
               QStringLiteral("no blank after the tag in column 6"));
        return;
    }
    const char type = line[6];
    if (type != '&' && type != '#' && type != '!' && type != '%') {
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("'%1' is no reply type (& # ! %)").arg(Printable(line.sliced(6, 1)));
        });
        return;
    }
    QByteArrayView body;
    if (line.size() > 7) {
        if (line[7] != ' ') {
            report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1,
                   [&] { return QStringLiteral("no blank after '%1'").arg(QLatin1Char(type)); });
            body = line.sliced(7);
        } else {
            body = line.sliced(8);
        }
    }
    if ((type == '&' || type == '%') && line.size() > 7)
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("'%1' line carries more: \"%2\"")
                .arg(QLatin1Char(type))
                .arg(Printable(line.sliced(7)));
        });
    else if ((type == '#' || type == '!') && body.trimmed().isEmpty())
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1,
               [&] { return QStringLiteral("'%1' line without content").arg(QLatin1Char(type)); });

    // Unsolicited events and errors.
    if (key == EventBase) {
        ++s.totals.events;
        if (type == '&' || type == '%') {
            report(s, Rule::E0000, Severity::Error, tag, pos, -1, [&] {
                return QStringLiteral("E0000 never %1")
                    .arg(type == '&' ? QStringLiteral("acknowledges") : QStringLiteral("completes"));
            });
        } else if (type == '!') {
            onErrorLine(s, nullptr, tag, body, pos);
        }
        return;
    }

    auto it = s.open.find(key);
    if (it == s.open.end()) {
        const bool eventTag = key > EventBase;
        const quint8 d = eventTag ? s.daemon[key - EventBase] : 0;
        if (eventTag && type == '#' && d == 1) {
            ++s.totals.events;
            if (t >= 0) {
                DaemonRate &r = s.rates[key];
                const qint64 oldest = r.n == 11 ? r.times[r.head] : -1;
                r.times[r.head] = t;
                r.head = (r.head + 1) % 11;
                if (r.n < 11)
                    ++r.n;
                if (oldest >= 0 && t - oldest < 1000000 && !r.reported) {
                    r.reported = true;
                    report(s, Rule::Daemon, Severity::Warning, tag, pos, -1,
                           QStringLiteral("more than 10 reports a second"));
                }
            }
            return;
        }
        if (eventTag && d == 2) {
            report(s, Rule::Daemon, Severity::Error, tag, pos, -1,
                   QStringLiteral("event after StopDaemon completed"));
            return;
        }
        if (eventTag && d == 3) {
            report(s, Rule::Session, Severity::Error, tag, pos, -1,
                   QStringLiteral("event after EndSession completed"));
            return;
        }
        switch (s.mark[key]) {
        case 1:
            report(s, Rule::Order, Severity::Error, tag, pos, s.closedAt[key], [&] {
                return QStringLiteral("'%1' line after the transaction completed (line %2)")
                    .arg(QLatin1Char(type))
                    .arg(s.closedAt[key]);
            });
            return;
        case 2:
            if (type == '%')
                s.mark[key] = 1;
            return; // a transaction aborted by an error: its remains are fine
        case 3:
            report(s, Rule::Abort, Severity::Error, tag, pos, s.closedAt[key], [&] {
                return QStringLiteral("'%1' line after AbortE completed (line %2)")
                    .arg(QLatin1Char(type))
                    .arg(s.closedAt[key]);
            });
            return;
        default:
            break;
        }
        report(s, Rule::UnknownTag, Severity::Error, tag, pos, -1, [&] {
            return s.anyCommand
                ? QStringLiteral("reply for a tag not sent on the %1 leg").arg(QLatin1String(LegName(s.leg)))
                : QStringLiteral("reply before any command on the %1 leg").arg(QLatin1String(LegName(s.leg)));
        });
        return;
    }

    OpenTxn &o = *it;
    Transaction &txn = o.t;
    if (type == '&') {
        if (txn.state != TxnState::Sent) {
            report(s, Rule::Order, Severity::Error, tag, pos, txn.commandLine, QStringLiteral("second '&'"));
        } else {
            txn.state = TxnState::Acked;
            txn.tAck = t;
            if (onTxn_)
                onTxn_(TxnEvent::Acked, txn, pos);
        }
        return;
    }
    if (txn.state == TxnState::Sent) {
        if (!o.orderReported) {
            o.orderReported = true;
            report(s, Rule::Order, Severity::Error, tag, pos, txn.commandLine,
                   [&] { return QStringLiteral("'%1' line before the '&'").arg(QLatin1Char(type)); });
        }
        txn.state = TxnState::Acked;
    }
    if (key < EventBase && !o.overlapReported) {
        // The earliest open command must be this one.
        while (!s.order.empty()) {
            auto f = s.open.constFind(s.order.front().first);
            if (f != s.open.constEnd() && f->seq == s.order.front().second)
                break;
            s.order.pop_front();
        }
        if (!s.order.empty() && s.order.front().second != o.seq) {
            const OpenTxn &earlier = *s.open.constFind(s.order.front().first);
            o.overlapReported = true;
            report(s, Rule::Overlap, Severity::Error, tag, pos, earlier.t.commandLine, [&] {
                return QStringLiteral("'%1' line before the '%' of %2 (line %3)")
                    .arg(QLatin1Char(type))
                    .arg(QString::fromLatin1(TagText(earlier.t.key)))
                    .arg(earlier.t.commandLine);
            });
        }
    }
    if (type == '#') {
        if (txn.dataLines++ == 0)
            txn.tFirstData = t;
        if (onTxn_)
            onTxn_(TxnEvent::Data, txn, pos);
        if (o.kind == DataKind::None && !o.dataReported) {
            o.dataReported = true;
            report(s, Rule::Data, Severity::Error, tag, pos, txn.commandLine, [&] {
                return QStringLiteral("data line for %1, which returns no data")
                    .arg(QString::fromLatin1(methods_[size_t(txn.method)].name));
            });
        }
        if (!o.want.isNull() && !o.matchReported && !body.trimmed().isEmpty()) {
            const QByteArray got = ItemNames(body);
            if (got != o.want) {
                o.matchReported = true;
                QByteArray w = o.want, g = got;
                QList<QByteArray> gs = got.split(','), ws = o.want.split(',');
                std::sort(gs.begin(), gs.end());
                std::sort(ws.begin(), ws.end());
                const QString items = Printable(g.replace(',', ", "), 60),
                              asked = Printable(w.replace(',', ", "), 60);
                if (gs != ws)
                    report(s, Rule::DataMatch, Severity::Error, tag, pos, txn.commandLine, [&] {
                        return QStringLiteral("data holds %1 where %2 was asked for").arg(items, asked);
                    });
                else if (rules_.dataInRequestOrder())
                    report(s, Rule::DataMatch, Severity::Warning, tag, pos, txn.commandLine, [&] {
                        return QStringLiteral("data holds %1, not in the order asked for (%2)")
                            .arg(items, asked);
                    });
            }
        }
        return;
    }
    if (type == '!') {
        onErrorLine(s, &txn, tag, body, pos);
        if (onTxn_)
            if (const Transaction *still = openTxn(s, key))
                onTxn_(TxnEvent::Error, *still, pos);
        return;
    }
    complete(s, o.t, t, pos);
}

void ProtocolChecker::onErrorLine(LegState &s, Transaction *txn, QByteArrayView tag, QByteArrayView body,
                                  qint64 pos)
{
    ++s.totals.errorLines;
    if (txn)
        ++txn->errorLines;
    const qint64 related = txn ? txn->commandLine : -1;
    const QByteArrayView b = body.trimmed();
    if (!b.startsWith("Error(") || !b.endsWith(')')) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               QStringLiteral("error line not of the form Error(F1, F2, F3, \"Text\")"));
        return;
    }
    const QByteArrayView inner = b.sliced(6, b.size() - 7);
    const qsizetype c1 = inner.indexOf(',');
    const qsizetype c2 = c1 < 0 ? -1 : inner.indexOf(',', c1 + 1);
    const QByteArrayView trimmedInner = inner.trimmed();
    qsizetype textStart = -1;
    if (trimmedInner.endsWith('"') && trimmedInner.size() >= 2) {
        const qsizetype closeQuote = inner.lastIndexOf('"');
        textStart = inner.lastIndexOf('"', closeQuote - 1);
    }
    if (c2 < 0 || textStart <= c2) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               QStringLiteral("error line without the four fields F1, F2, F3 and \"Text\""));
        return;
    }
    const QByteArrayView f1 = inner.first(c1).trimmed();
    const QByteArrayView f2 = inner.sliced(c1 + 1, c2 - c1 - 1).trimmed();
    QByteArrayView f3 = inner.sliced(c2 + 1, textStart - c2 - 1).trimmed();
    const QByteArrayView text = inner.sliced(textStart + 1, inner.lastIndexOf('"') - textStart - 1);
    if (!f3.endsWith(',')) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               QStringLiteral("no comma before the error text"));
        return;
    }
    f3.chop(1);
    int sev = -1;
    if (f1.size() == 1 && IsDigit(f1[0]))
        sev = f1[0] - '0';
    if (!SeverityMeaning(sev) || (sev == 0 && !rules_.acceptsSeverityZero())) {
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               [&] { return QStringLiteral("\"%1\" is no valid severity").arg(Printable(f1)); });
        sev = -1;
    }
    int number = -1;
    if (f2.size() == 4 && IsDigit(f2[0]) && IsDigit(f2[1]) && IsDigit(f2[2]) && IsDigit(f2[3]))
        number = QByteArray(f2.data(), 4).toInt();
    else
        report(s, Rule::ErrorFormat, Severity::Error, tag, pos, related,
               [&] { return QStringLiteral("\"%1\" is no four-digit error number").arg(Printable(f2)); });

    if (number >= 0) {
        ErrorSeen &seen = errors_[number * 16 + (sev < 0 ? 15 : sev)];
        if (errors_.size() > 20000)
            errors_.clear(); // bounded: a peer inventing numbers cannot grow it
        seen.number = number;
        seen.severity = sev;
        ++seen.count;
        const ErrorDecoding d = DecodeErrorNumber(number);
        if (d.text) {
            if (text != QByteArrayView(d.text)) {
                if (EqualsNoCase(text, QByteArrayView(d.text)))
                    report(s, Rule::ErrorText, Severity::Note, tag, pos, related, [&] {
                        return QStringLiteral("error %1 text \"%2\" differs from \"%3\" in letter case")
                            .arg(QString::fromLatin1(f2), Printable(text, 80), QLatin1String(d.text));
                    });
                else
                    report(s, Rule::ErrorText, Severity::Error, tag, pos, related, [&] {
                        return QStringLiteral("error %1 text \"%2\" is not \"%3\"")
                            .arg(QString::fromLatin1(f2), Printable(text, 80), QLatin1String(d.text));
                    });
            }
            if (sev >= 0 && sev != d.defaultSeverity)
                report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
                    return QStringLiteral("error %1 with severity %2; its default is %3")
                        .arg(QString::fromLatin1(f2))
                        .arg(sev)
                        .arg(d.defaultSeverity);
                });
        } else if (number < 3000 || d.reserved) {
            report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
                return QStringLiteral("error %1 is no predefined error (%2 range)")
                    .arg(QString::fromLatin1(f2), QLatin1String(d.owner));
            });
        } else if (number < 5000) {
            report(s, Rule::ErrorText, Severity::Warning, tag, pos, related, [&] {
                return QStringLiteral("error %1 lies in an unassigned range").arg(QString::fromLatin1(f2));
            });
        }
    }

    // "Illegal tag" answers a line that could not be tagged: it closes that line.
    if (!txn && (number == 1 || EqualsNoCase(text, "Illegal tag"))) {
        if (s.rejectPending) {
            s.rejectPending = false;
        } else if (s.awaiting) {
            auto it = s.open.constFind(s.awaitKey);
            if (it != s.open.constEnd() && it->seq == s.awaitSeq && it->t.state == TxnState::Sent) {
                s.mark[s.awaitKey] = 2;
                s.closedAt[s.awaitKey] = pos;
                dropTxn(s, s.awaitKey);
            }
            s.awaiting = false;
        }
    }

    if (sev >= 0 && NeedsClearAllErrors(sev, rules_)) {
        s.errorState = true;
        s.errorLine = pos;
        abortPending(s, txn ? txn->key : 0, 2);
    }
}

// Closes every open command transaction but `exceptKey`, as the server aborts
// them. how: 2 quietly (their remains may follow), 3 by AbortE's completion.
void ProtocolChecker::abortPending(LegState &s, quint32 exceptKey, quint8 how)
{
    QVector<quint32> victims;
    for (auto it = s.open.cbegin(); it != s.open.cend(); ++it)
        if (it.key() < EventBase && it.key() != exceptKey)
            victims.append(it.key());
    for (quint32 key : victims) {
        OpenTxn &o = s.open[key];
        o.t.state = TxnState::Aborted;
        ++s.totals.aborted;
        s.mark[key] = how;
        dropTxn(s, key);
    }
}

void ProtocolChecker::complete(LegState &s, Transaction &txn, qint64 t, qint64 pos)
{
    auto it = s.open.find(txn.key);
    OpenTxn &o = *it;
    txn.state = TxnState::Done;
    txn.tDone = t;
    txn.doneLine = pos;
    const QByteArray &name = methods_[size_t(txn.method)].name;
    if (o.kind == DataKind::Data && txn.dataLines == 0 && txn.errorLines == 0)
        report(s, Rule::Data, Severity::Error, TagText(txn.key), pos, txn.commandLine,
               [&] { return QStringLiteral("no data line for %1").arg(QString::fromLatin1(name)); });

    const bool ok = txn.errorLines == 0;
    if (name == "ClearAllErrors") {
        s.errorState = false;
        s.afterAbort = false;
    } else if (name == "EndSession" && ok) {
        s.session = LegState::Out;
        for (quint8 &d : s.daemon)
            if (d == 1)
                d = 3;
        s.rates.clear();
    } else if (name == "StartSession") {
        if (s.session == LegState::Unknown)
            s.session = LegState::In;
    } else if (name == "StopDaemon") {
        if (o.stopsDaemon >= 0 && s.daemon[size_t(o.stopsDaemon)] == 1) {
            s.daemon[size_t(o.stopsDaemon)] = 2;
            s.rates.remove(EventBase + quint32(o.stopsDaemon));
        }
    } else if (name == "StopAllDaemons") {
        for (quint8 &d : s.daemon)
            if (d == 1)
                d = 2;
        s.rates.clear();
    } else if (o.kind == DataKind::Daemon && ok) {
        s.daemon[txn.key - EventBase] = 1;
        s.rates.remove(txn.key);
    }

    // Statistics and the ring.
    MethodStats &st = methods_[size_t(txn.method)].stats;
    ++st.count;
    if (!ok)
        ++st.errors;
    if (txn.tSent >= 0 && txn.tAck >= 0)
        st.toAck.add(txn.tAck - txn.tSent);
    if (txn.tSent >= 0 && t >= 0)
        st.toDone.add(t - txn.tSent);
    ++s.totals.completed;
    if (ring_.size() < size_t(RingSize)) {
        ring_.push_back(txn);
        ringFill_ = ring_.size();
    } else {
        ring_[ringHead_] = txn;
        ringHead_ = (ringHead_ + 1) % size_t(RingSize);
    }

    const quint32 key = txn.key;
    const bool wasAbort = name == "AbortE";
    s.mark[key] = 1;
    s.closedAt[key] = pos;
    if (s.awaiting && s.awaitKey == key && s.awaitSeq == o.seq)
        s.awaiting = false;
    dropTxn(s, key);

    if (wasAbort) {
        s.abortPending = false;
        s.afterAbort = true;
        // AbortE's '%' comes last: whatever is still open was not wound up.
        QVector<quint32> left;
        for (auto i = s.open.cbegin(); i != s.open.cend(); ++i)
            if (i.key() < EventBase)
                left.append(i.key());
        for (quint32 k : left) {
            const OpenTxn &l = *s.open.constFind(k);
            if (l.t.errorLines == 0)
                report(s, Rule::Abort, Severity::Error, TagText(k), pos, l.t.commandLine,
                       QStringLiteral("neither '%' nor an error before AbortE completed"));
            s.closedAt[k] = pos;
        }
        abortPending(s, 0, 3);
    }
}

void ProtocolChecker::reportOpen(LegState &s, qint64 pos, const char *why)
{
    if (!s.open.isEmpty()) {
        const OpenTxn *oldest = nullptr;
        for (const OpenTxn &o : s.open)
            if (!oldest || o.seq < oldest->seq)
                oldest = &o;
        report(s, Rule::Order, Severity::Warning, {}, pos, oldest->t.commandLine, [&] {
            return QStringLiteral("%1 transaction%2 without '%' %3%4; the oldest: %5 %6 (line %7)")
                .arg(s.open.size())
                .arg(s.open.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(QLatin1String(why))
                .arg(s.dropped ? QStringLiteral(" (and %1 dropped)").arg(s.dropped) : QString())
                .arg(QString::fromLatin1(TagText(oldest->t.key)))
                .arg(QString::fromLatin1(methods_[size_t(oldest->t.method)].name))
                .arg(oldest->t.commandLine);
        });
    }
}

void ProtocolChecker::connectionReset(Leg leg, qint64 position)
{
    LegState &s = *legs_[int(leg) & 1];
    reportOpen(s, position, "when the connection changed");
    if (onTxn_)
        for (const OpenTxn &o : std::as_const(s.open))
            onTxn_(TxnEvent::Closed, o.t, position);
    LegTotals keep = s.totals;
    s.open.clear();
    s.order.clear();
    s.eventOrder.clear();
    std::fill(s.mark.begin(), s.mark.end(), 0);
    std::fill(s.daemon.begin(), s.daemon.end(), 0);
    s.rates.clear();
    s.session = LegState::Unknown;
    s.errorState = s.abortPending = s.afterAbort = s.awaiting = s.rejectPending = false;
    s.ptMeasFormat = "X,Y,Z";
    s.anyCommand = false;
    s.limitReported = false;
    s.dropped = 0;
    s.totals = keep;
}

void ProtocolChecker::finish(qint64 position)
{
    for (auto &s : legs_)
        reportOpen(*s, position < 0 ? fed_ : position, "at the end of the log");
}

} // namespace check
