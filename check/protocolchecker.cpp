#include "check/protocolchecker.h"

#include "check/catalogue.h"
#include "check/opentable.h"
#include "check/replydata.h"

#include <algorithm>
#include <cstring>

namespace check {

namespace {

constexpr int EventNumbers = 10000; // E0000-E9999
constexpr int MaxReportsPerSecond = 10; // OnMoveReportE
constexpr qint64 OneSecondUs = 1000000;
constexpr double MinReportPeriod = 0.1; // seconds
// What a session reports until OnPtMeasReport or OnScanReport says otherwise.
constexpr const char *DefaultPtMeasReport = "X,Y,Z";
constexpr int DefaultScanPointValues = 4; // X(), Y(), Z(), Q()
// A peer inventing error numbers cannot grow the table past this.
constexpr int MaxErrorsSeen = 20000;

// What a tag's last transaction left behind once it is no longer open.
enum class TagMark : quint8 {
    Unused, // never used, or in use again
    Completed, // its '%' came: any further line for it is out of order
    ClosedQuietly, // aborted by an error, replaced or rejected: its remains may follow
    ClosedByAbort, // wound up by AbortE's '%': nothing may follow
    SetAside, // dropped over the cap on open transactions: maybe still open
};

enum class DaemonState : quint8 { None, Running, Stopped, EndedWithSession };

enum class SessionState : quint8 { Unknown, Inside, Ending, Outside };

} // namespace

// The methods the checker follows by name, told apart once when a name is
// first seen.
enum class MethodRole : quint8 {
    Other,
    StartSession,
    EndSession,
    ClearAllErrors,
    AbortE,
    ErrorQuery, // GetErrStatusE, GetXtdErrStatus: allowed in the error state
    OnPtMeasReport,
    OnScanReport,
    StopDaemon,
    StopAllDaemons,
};

namespace {

MethodRole RoleOf(QByteArrayView name)
{
    static const std::pair<const char *, MethodRole> Roles[] = {
        {"StartSession", MethodRole::StartSession},     {"EndSession", MethodRole::EndSession},
        {"ClearAllErrors", MethodRole::ClearAllErrors}, {"AbortE", MethodRole::AbortE},
        {"GetErrStatusE", MethodRole::ErrorQuery},      {"GetXtdErrStatus", MethodRole::ErrorQuery},
        {"OnPtMeasReport", MethodRole::OnPtMeasReport}, {"OnScanReport", MethodRole::OnScanReport},
        {"StopDaemon", MethodRole::StopDaemon},         {"StopAllDaemons", MethodRole::StopAllDaemons},
    };
    for (const auto &r : Roles)
        if (name == QByteArrayView(r.first))
            return r.second;
    return MethodRole::Other;
}

// The report times of one daemon, to find more than ten a second.
struct DaemonRate {
    qint64 times[MaxReportsPerSecond + 1] = {};
    int n = 0, head = 0;
    bool reported = false;
};

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

QByteArray TagPrefix(QByteArrayView tag)
{
    return tag.isEmpty() ? QByteArray() : QByteArray(tag.data(), tag.size()) + ": ";
}

QString Plural(qint64 n, const char *word)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(word),
                                                n == 1 ? QString() : QStringLiteral("s"));
}

using OrderQueue = std::deque<std::pair<quint32, quint64>>; // key and send order

} // namespace

const char *LegName(Leg leg)
{
    return leg == Leg::Operator ? "operator" : "relay";
}

quint32 TagKey(QByteArrayView tag)
{
    if (tag.size() != 5)
        return 0;
    const bool event = tag[0] == 'E';
    quint32 n = 0;
    for (int i = event ? 1 : 0; i < 5; ++i) {
        if (!IsDigit(tag[i]))
            return 0;
        n = n * 10 + quint32(tag[i] - '0');
    }
    return event ? EventKeyBase + n : n;
}

QByteArray TagText(quint32 key)
{
    if (key >= EventKeyBase)
        return 'E' + QByteArray::number(key - EventKeyBase).rightJustified(4, '0');
    return QByteArray::number(key).rightJustified(5, '0');
}

QByteArray Transaction::tag() const
{
    return TagText(key);
}

// A client line taken apart.
struct ProtocolChecker::Command {
    QByteArrayView tag; // "00017"
    QByteArrayView text; // from column 7: "Get(X())"
    QByteArrayView name; // "Get"
    quint32 key = 0;
    int methodIndex = -1;
    const MethodInfo *method = nullptr; // nullptr when the profile does not know it
    MethodRole role = MethodRole::Other;
    bool eventTag = false, eventMethod = false;
    bool isStart = false, isEnd = false, isClear = false, isAbort = false;
};

struct ProtocolChecker::LegState {
    Leg leg = Leg::Operator;
    OpenSet open;
    OrderQueue order; // command tags, in send order
    OrderQueue eventOrder; // event tags, in send order
    quint64 nextSeq = 1;
    std::vector<TagMark> mark; // by tag key
    std::vector<qint64> closedAt; // by tag key: the line that closed it (set aside: its command)
    std::vector<DaemonState> daemon; // by event number
    QHash<quint32, DaemonRate> rates;
    SessionState session = SessionState::Unknown;
    bool errorState = false;
    qint64 errorLine = -1;
    bool abortRunning = false; // AbortE sent, its '%' not yet seen
    qint64 abortLine = -1;
    bool afterAbort = false; // AbortE completed; ClearAllErrors must come next
    // The command the next one waits for: its '&' (StartSession: its '%').
    bool awaiting = false, awaitPercent = false;
    quint32 awaitKey = 0;
    quint64 awaitSeq = 0;
    qint64 awaitLine = -1;
    // A line the server could not tag, waiting for its E0000 "Illegal tag".
    bool rejectPending = false;
    qint64 rejectLine = -1;
    QByteArray ptMeasReport = DefaultPtMeasReport;
    QByteArray lastItemsAsked, lastItemNames; // the last Get's arguments and their item names
    int scanPointValues = DefaultScanPointValues;
    bool anyCommand = false;
    bool limitReported = false;
    qint64 setAside = 0; // transactions set aside over the cap
    // For repeated causes: commands that followed another, and of them those
    // sent before its '&'; transactions that got a reply, and of them those
    // whose first reply was '#'.
    qint64 followers = 0, unpaced = 0;
    qint64 replied = 0, dataFirst = 0;
    LegTotals totals;

    LegState()
        : mark(TagKeyCount, TagMark::Unused), closedAt(TagKeyCount, -1),
          daemon(EventNumbers, DaemonState::None)
    { }

    void startSessionDefaults()
    {
        ptMeasReport = DefaultPtMeasReport;
        scanPointValues = DefaultScanPointValues;
    }

    // A new connection: nothing of the last one holds. The totals and the
    // counts behind repeated causes go on.
    void restart(SessionState start)
    {
        open.clear();
        order.clear();
        eventOrder.clear();
        std::fill(mark.begin(), mark.end(), TagMark::Unused);
        std::fill(daemon.begin(), daemon.end(), DaemonState::None);
        rates.clear();
        session = start;
        errorState = abortRunning = afterAbort = awaiting = rejectPending = false;
        startSessionDefaults();
        anyCommand = false;
        limitReported = false;
        setAside = 0;
    }
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

QVector<RepeatedCause> ProtocolChecker::repeatedCauses() const
{
    // A cause shows when it explains all of at least this many lines.
    constexpr qint64 MinRepeats = 3;
    QVector<RepeatedCause> out;
    for (const auto &leg : legs_) {
        const LegState &s = *leg;
        const QString legName = QLatin1String(LegName(s.leg));
        if (rules_.on(Rule::AckFirst) && s.unpaced >= MinRepeats && s.unpaced == s.followers)
            out.append(
                {Rule::AckFirst, s.leg, Party::Client, s.unpaced,
                 QStringLiteral("Every command on the %1 leg went out before the '&' of the one before "
                                "it: the client never waits for '&'.")
                     .arg(legName)});
        if (rules_.on(Rule::Order) && s.dataFirst >= MinRepeats && s.dataFirst == s.replied)
            out.append({Rule::Order, s.leg, Party::Server, s.dataFirst,
                        QStringLiteral("Every reply on the %1 leg begins with '#' where '&' belongs: the "
                                       "server uses '#' as acknowledge, a known non-standard dialect.")
                            .arg(legName)});
    }
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
    name = name.first(qMin<qsizetype>(name.size(), MaxMethodName));
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
    MethodEntry e;
    e.name = owned;
    e.shared = owned == "(other)";
    for (const Profile p : {Profile::Spec143, Profile::Nist, Profile::V2})
        e.info[size_t(p)] = FindMethod(owned, p);
    e.role = RoleOf(owned);
    methods_.push_back(e);
    methodIndex_.insert(owned, index);
    return index;
}

bool ProtocolChecker::counted(LegState &s, Rule r, Severity sev)
{
    if (!rules_.on(r))
        return false;
    ++counts_[size_t(r)][size_t(sev)];
    ++byParty_[size_t(r)][size_t(curParty_)];
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
    f.party = curParty_;
    f.text = QString::fromLatin1(TagPrefix(tag)) + text;
    onFinding_(f);
}

Transaction *ProtocolChecker::openTxn(LegState &s, quint32 key)
{
    OpenTxn *o = s.open.find(key);
    return o ? &o->t : nullptr;
}

void ProtocolChecker::dropTxn(LegState &s, quint32 key)
{
    if (onTxn_)
        if (const OpenTxn *o = s.open.find(key))
            onTxn_(TxnEvent::Closed, o->t, curPos_);
    s.open.tableOf(key).remove(key);
    // Keep the order queues from growing behind a transaction that stays open.
    auto stillOpen = [&](const std::pair<quint32, quint64> &e) {
        const OpenTxn *o = s.open.find(e.first);
        return o && o->seq == e.second;
    };
    auto compact = [&](OrderQueue &q, qsizetype open) {
        while (!q.empty() && !stillOpen(q.front()))
            q.pop_front();
        if (q.size() > 2 * size_t(open) + 1024) {
            OrderQueue kept;
            for (const auto &e : q)
                if (stillOpen(e))
                    kept.push_back(e);
            q.swap(kept);
        }
    };
    if (key < EventKeyBase)
        compact(s.order, s.open.commands.size());
    else
        compact(s.eventOrder, s.open.events.size());
}

// ---------------------------------------------------------------- every line

bool ProtocolChecker::checkLineBytes(LegState &s, QByteArrayView line, qint64 pos, LineEnd end,
                                     QByteArrayView tag)
{
    bool clean = true;
    bool charsetSeen = false, crlfSeen = false;
    const char *p = line.data();
    const qsizetype n = line.size();
    // Eight bytes at a time while all are printable (32-126).
    constexpr quint64 Ones = 0x0101010101010101ULL, Highs = 0x8080808080808080ULL;
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 w;
        std::memcpy(&w, p + i, 8);
        if ((((w - 32 * Ones) & ~w) | (w + Ones) | w) & Highs)
            break;
    }
    for (; i < n; ++i) {
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
    curParty_ = dir == Direction::ToServer ? Party::Client : Party::Server;
    lineCut_ = fullLength > line.size();
    LegState &s = *legs_[int(leg) & 1];
    if (dir == Direction::ToServer)
        ++s.totals.linesToServer;
    else
        ++s.totals.linesFromServer;

    // A view, not a copy: no allocation for a line without a finding.
    const quint32 key = line.size() >= 5 ? TagKey(line.first(5)) : 0;
    const QByteArrayView tagText = key != 0 ? line.first(5) : QByteArrayView();
    checkLineBytes(s, line, pos, end, tagText);
    if (fullLength + rules_.lengthLimitOverhead() > RuleLineLimit)
        report(s, Rule::Length, Severity::Warning, tagText, pos, -1, [&] {
            return QStringLiteral("line of %1 characters, more than %2").arg(fullLength).arg(RuleLineLimit);
        });

    if (dir == Direction::ToServer)
        onClientLine(s, timeUs, line, key, pos);
    else
        onServerLine(s, timeUs, line, key, pos);
}

// ---------------------------------------------------------------- client lines

void ProtocolChecker::onClientLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos)
{
    checkPacing(s, line, pos);
    Command c;
    if (!parseCommand(s, line, key, pos, c)) {
        // A server answers a line it cannot tag with an E0000 "Illegal tag".
        s.rejectPending = true;
        s.rejectLine = pos;
        return;
    }
    ++s.totals.commands;
    s.anyCommand = true;
    checkCommandRules(s, c, pos);
    checkTagReuse(s, c, pos);
    keepWithinCap(s, c, pos);
    openCommand(s, c, t, pos);
}

// The command before must have had its '&' (StartSession: its '%').
void ProtocolChecker::checkPacing(LegState &s, QByteArrayView line, qint64 pos)
{
    if (s.anyCommand)
        ++s.followers;
    if (s.awaiting) {
        const OpenTxn *o = s.open.find(s.awaitKey);
        if (o && o->seq == s.awaitSeq && (s.awaitPercent || o->t.state == TxnState::Sent)) {
            ++s.unpaced;
            report(s, Rule::AckFirst, Severity::Error, line.first(qMin<qsizetype>(5, line.size())), pos,
                   s.awaitLine, [&] {
                       return QStringLiteral("command sent before the %1 of %2 (line %3)")
                           .arg(s.awaitPercent ? QStringLiteral("'%'") : QStringLiteral("'&'"),
                                QString::fromLatin1(TagText(s.awaitKey)))
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
}

// The tag and the method; false when the line carries no usable tag.
bool ProtocolChecker::parseCommand(LegState &s, QByteArrayView line, quint32 key, qint64 pos, Command &c)
{
    c.tag = line.first(qMin<qsizetype>(5, line.size()));
    c.key = key;
    const bool blankAfter = line.size() > 5 && line[5] == ' ';
    if (line.isEmpty()) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, QStringLiteral("empty line"));
        return false;
    }
    if (c.key == 0) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, [&] {
            return c.tag == "00000" ? QStringLiteral("tag 00000 is not a valid command tag")
                                    : QStringLiteral("\"%1\" is not a tag (00001-99999 or E0001-E9999)")
                                          .arg(Printable(line.first(qMin<qsizetype>(8, line.size()))));
        });
        return false;
    }
    if (c.key == EventKeyBase) {
        report(s, Rule::TagFormat, Severity::Error, c.tag, pos, -1,
               QStringLiteral("E0000 is reserved for the server"));
        return false;
    }
    if (!blankAfter) {
        report(s, Rule::TagFormat, Severity::Error, c.tag, pos, -1, [&] {
            return line.size() > 5 ? QStringLiteral("no blank after the tag in column 6")
                                   : QStringLiteral("tag without a command");
        });
        return false;
    }
    c.text = line.sliced(6);
    qsizetype nameEnd = 0;
    while (nameEnd < c.text.size() && c.text[nameEnd] != '(' && c.text[nameEnd] != ' ')
        ++nameEnd;
    c.name = c.text.first(nameEnd);
    c.methodIndex = internMethod(c.name.isEmpty() ? QByteArrayView("(none)") : c.name);
    const MethodEntry &entry = methods_[size_t(c.methodIndex)];
    if (entry.shared || c.name.size() > MaxMethodName) {
        c.method = FindMethod(c.name, rules_.profile);
        c.role = RoleOf(c.name);
    } else {
        c.method = entry.info[size_t(rules_.profile)];
        c.role = entry.role;
    }
    c.eventMethod =
        c.method ? c.method->event : c.name.size() > 1 && c.name.back() == 'E' && IsIdentifier(c.name);
    c.eventTag = c.key > EventKeyBase;
    c.isStart = c.role == MethodRole::StartSession;
    c.isEnd = c.role == MethodRole::EndSession;
    c.isClear = c.role == MethodRole::ClearAllErrors;
    c.isAbort = c.role == MethodRole::AbortE;
    return true;
}

// Event tags, the catalogue, the session, AbortE and the error state.
void ProtocolChecker::checkCommandRules(LegState &s, const Command &c, qint64 pos)
{
    if (c.eventTag && !c.eventMethod)
        report(s, Rule::EventTag, Severity::Error, c.tag, pos, -1, [&] {
            return QStringLiteral("event tag on %1, which is no event command")
                .arg(Printable(c.name.isEmpty() ? c.text : c.name));
        });
    else if (!c.eventTag && c.eventMethod && !rules_.eventCommandWithCommandTag())
        report(s, Rule::EventTag, Severity::Error, c.tag, pos, -1,
               [&] { return QStringLiteral("event command %1 with a command tag").arg(Printable(c.name)); });

    if (!c.method && !IsVendorMethod(c.name))
        report(s, Rule::Method, Severity::Note, c.tag, pos, -1, [&] {
            return QStringLiteral("%1 is no method of profile %2")
                .arg(c.name.isEmpty() ? QStringLiteral("a command without a name") : Printable(c.name),
                     QLatin1String(ProfileName(rules_.profile)));
        });

    if (c.isStart) {
        if (s.session == SessionState::Inside)
            report(s, Rule::Session, Severity::Error, c.tag, pos, -1,
                   QStringLiteral("StartSession inside a session"));
        s.session = SessionState::Inside;
        s.startSessionDefaults();
    } else if (c.isEnd) {
        if (s.session != SessionState::Unknown)
            s.session = SessionState::Ending;
    } else if (s.session == SessionState::Outside) {
        report(s, Rule::Session, Severity::Error, c.tag, pos, -1,
               [&] { return QStringLiteral("%1 outside a session").arg(Printable(c.name)); });
    }

    if (s.abortRunning && !c.isAbort) {
        report(s, Rule::Abort, Severity::Error, c.tag, pos, s.abortLine, [&] {
            return QStringLiteral("command sent before AbortE (line %1) completed").arg(s.abortLine);
        });
    } else if (s.afterAbort && !c.isClear) {
        report(s, Rule::Abort, Severity::Error, c.tag, pos, s.abortLine, [&] {
            return QStringLiteral("%1 after AbortE; ClearAllErrors must come first").arg(Printable(c.name));
        });
    }
    s.afterAbort = false;

    if (s.errorState && !c.isClear && c.role != MethodRole::ErrorQuery)
        report(s, Rule::ErrorState, Severity::Error, c.tag, pos, s.errorLine, [&] {
            return QStringLiteral("%1 before ClearAllErrors after the error at line %2")
                .arg(Printable(c.name))
                .arg(s.errorLine);
        });
}

// A tag is free once its transaction completed; one set aside over the cap
// still counts as in use.
void ProtocolChecker::checkTagReuse(LegState &s, const Command &c, qint64 pos)
{
    const quint32 key = c.key;
    if (Transaction *old = openTxn(s, key)) {
        report(s, Rule::TagUnique, Severity::Error, c.tag, pos, old->commandLine, [&] {
            return QStringLiteral("tag still in use by the command at line %1").arg(old->commandLine);
        });
        s.mark[key] = TagMark::ClosedQuietly;
        dropTxn(s, key);
    } else if (s.mark[key] == TagMark::SetAside) {
        report(s, Rule::TagUnique, Severity::Error, c.tag, pos, s.closedAt[key], [&] {
            return QStringLiteral("tag still in use by the command at line %1 (set aside over the cap on "
                                  "open transactions)")
                .arg(s.closedAt[key]);
        });
    } else if (c.eventTag && s.daemon[key - EventKeyBase] == DaemonState::Running) {
        report(s, Rule::TagUnique, Severity::Error, c.tag, pos, -1,
               QStringLiteral("tag of a daemon still running"));
    }
    if (c.eventTag)
        s.daemon[key - EventKeyBase] = DaemonState::None;
    s.mark[key] = TagMark::Unused;
}

// Over the cap the oldest open transaction is set aside: its tag stays
// marked in use until its '%' comes.
void ProtocolChecker::keepWithinCap(LegState &s, const Command &c, qint64 pos)
{
    if (s.open.size() < openCap_)
        return;
    ++s.setAside;
    if (!s.limitReported) {
        s.limitReported = true;
        report(s, Rule::OpenLimit, Severity::Warning, c.tag, pos, -1, [&] {
            return QStringLiteral("more than %1 transactions open on the %2 leg; the oldest are set aside, "
                                  "their tags still checked for reuse")
                .arg(openCap_)
                .arg(QLatin1String(LegName(s.leg)));
        });
    }
    OrderQueue &q =
        s.eventOrder.empty() || (!s.order.empty() && s.order.front().second < s.eventOrder.front().second)
        ? s.order
        : s.eventOrder;
    if (q.empty())
        return;
    const quint32 victim = q.front().first;
    if (const Transaction *v = openTxn(s, victim)) {
        s.mark[victim] = TagMark::SetAside;
        s.closedAt[victim] = v->commandLine;
    }
    dropTxn(s, victim);
}

void ProtocolChecker::openCommand(LegState &s, const Command &c, qint64 t, qint64 pos)
{
    OpenTxn o;
    o.seq = s.nextSeq++;
    o.method = c.method;
    o.kind = c.method ? c.method->kind : DataKind::Unknown;
    o.t.key = c.key;
    o.t.method = c.methodIndex;
    o.t.leg = s.leg;
    o.t.commandLine = pos;
    o.t.tSent = t;
    const QByteArrayView args = ArgsOf(c.text);
    switch (c.method ? c.method->shape : DataShape::Free) {
    case DataShape::Items:
        // Clients ask for the same items again and again: keep the last.
        o.hasWant = true;
        if (args != QByteArrayView(s.lastItemsAsked)) {
            s.lastItemsAsked = QByteArray(args.data(), args.size());
            s.lastItemNames = ItemNames(args);
        }
        o.want = s.lastItemNames;
        break;
    case DataShape::PtMeasReport:
        o.hasWant = true;
        o.want = s.ptMeasReport;
        break;
    case DataShape::ScanPoints:
        o.pointValues = s.scanPointValues;
        break;
    case DataShape::Vectors: {
        const qsizetype given = CountValues(args);
        if (c.method->count > 0 && given > 0 && given % c.method->count == 0)
            o.vectors = int(given / c.method->count);
        break;
    }
    default:
        break;
    }
    o.role = c.role;
    if (c.role == MethodRole::OnPtMeasReport) {
        s.ptMeasReport = ItemNames(args);
    } else if (c.role == MethodRole::OnScanReport) {
        if (const int values = ScanPointValues(args))
            s.scanPointValues = values;
    } else if (c.role == MethodRole::StopDaemon) {
        const quint32 d = TagKey(args.trimmed());
        if (d > EventKeyBase)
            o.stopsDaemon = qint64(d - EventKeyBase);
    } else if (o.kind == DataKind::Daemon) {
        const qsizetype at = args.indexOf("Time(");
        if (at >= 0 && (at == 0 || args[at - 1] == ',' || args[at - 1] == ' ')) {
            const QByteArrayView rest = args.sliced(at + 5);
            const qsizetype close = rest.indexOf(')');
            bool ok = false;
            const double period = QByteArray(rest.data(), close < 0 ? 0 : close).trimmed().toDouble(&ok);
            if (ok && period < MinReportPeriod)
                report(s, Rule::Daemon, Severity::Warning, c.tag, pos, -1,
                       [&] { return QStringLiteral("report period Time(%1) below 0.1 s").arg(period); });
        }
    }
    if (c.isAbort) {
        s.abortRunning = true;
        s.abortLine = pos;
    }
    OpenTxn &inserted = s.open.tableOf(c.key).insert(o);
    if (onTxn_)
        onTxn_(TxnEvent::Opened, inserted.t, pos);
    (c.eventTag ? s.eventOrder : s.order).emplace_back(c.key, o.seq);

    s.awaiting = true;
    s.awaitKey = c.key;
    s.awaitSeq = o.seq;
    s.awaitLine = pos;
    s.awaitPercent = c.isStart;
}

// ---------------------------------------------------------------- server lines

void ProtocolChecker::onServerLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos)
{
    char type = 0;
    QByteArrayView body;
    if (!parseReply(s, line, key, pos, &type, &body))
        return;
    const QByteArrayView tag = line.first(5);
    if (key == EventKeyBase) {
        onUnsolicited(s, tag, type, body, pos);
        return;
    }
    OpenTxn *o = s.open.find(key);
    if (!o) {
        onReplyWithoutTxn(s, key, tag, type, t, pos);
        return;
    }
    Transaction &txn = o->t;
    if (type == '&') {
        if (txn.state != TxnState::Sent) {
            report(s, Rule::Order, Severity::Error, tag, pos, txn.commandLine, QStringLiteral("second '&'"));
        } else {
            ++s.replied;
            txn.state = TxnState::Acked;
            txn.tAck = t;
            if (onTxn_)
                onTxn_(TxnEvent::Acked, txn, pos);
        }
        return;
    }
    checkReplyOrder(s, *o, tag, type, pos);
    if (type == '#') {
        onDataLine(s, *o, tag, body, t, pos);
    } else if (type == '!') {
        onErrorLine(s, &txn, tag, body, pos);
        if (onTxn_)
            if (const Transaction *still = openTxn(s, key))
                onTxn_(TxnEvent::Error, *still, pos);
    } else {
        complete(s, txn, t, pos);
    }
}

// Tag, blank, type, blank: false when the line cannot be followed further.
bool ProtocolChecker::parseReply(LegState &s, QByteArrayView line, quint32 key, qint64 pos, char *type,
                                 QByteArrayView *body)
{
    if (line.size() < 7) {
        if (line.isEmpty())
            report(s, Rule::ReplyFormat, Severity::Error, {}, pos, -1, QStringLiteral("empty line"));
        else if (key != 0)
            report(s, Rule::ReplyFormat, Severity::Error, line.first(5), pos, -1,
                   QStringLiteral("reply without a type"));
        else
            report(s, Rule::TagFormat, Severity::Error, {}, pos, -1,
                   [&] { return QStringLiteral("\"%1\" is not a tagged reply").arg(Printable(line)); });
        return false;
    }
    const QByteArrayView tag = line.first(5);
    if (key == 0) {
        report(s, Rule::TagFormat, Severity::Error, {}, pos, -1, [&] {
            return tag == "00000" ? QStringLiteral("tag 00000 in a reply")
                                  : QStringLiteral("\"%1\" is not a tag")
                                        .arg(Printable(line.first(qMin<qsizetype>(8, line.size()))));
        });
        return false;
    }
    if (line[5] != ' ') {
        report(s, Rule::TagFormat, Severity::Error, tag, pos, -1,
               QStringLiteral("no blank after the tag in column 6"));
        return false;
    }
    const char c = line[6];
    if (c != '&' && c != '#' && c != '!' && c != '%') {
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("'%1' is no reply type (& # ! %)").arg(Printable(line.sliced(6, 1)));
        });
        return false;
    }
    *type = c;
    if (line.size() > 7) {
        if (line[7] != ' ') {
            report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1,
                   [&] { return QStringLiteral("no blank after '%1'").arg(QLatin1Char(c)); });
            *body = line.sliced(7);
        } else {
            *body = line.sliced(8);
        }
    }
    if ((c == '&' || c == '%') && line.size() > 7)
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("'%1' line carries more: \"%2\"")
                .arg(QLatin1Char(c))
                .arg(Printable(line.sliced(7)));
        });
    else if ((c == '#' || c == '!') && body->trimmed().isEmpty())
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1,
               [&] { return QStringLiteral("'%1' line without content").arg(QLatin1Char(c)); });
    return true;
}

// E0000: the server's own events and errors.
void ProtocolChecker::onUnsolicited(LegState &s, QByteArrayView tag, char type, QByteArrayView body,
                                    qint64 pos)
{
    ++s.totals.events;
    if (type == '&' || type == '%') {
        report(s, Rule::E0000, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("E0000 never %1")
                .arg(type == '&' ? QStringLiteral("acknowledges") : QStringLiteral("completes"));
        });
    } else if (type == '!') {
        onErrorLine(s, nullptr, tag, body, pos);
    }
}

// A reply for a tag with no open transaction: a daemon's event, the remains
// of an aborted or set-aside transaction, or a fault.
void ProtocolChecker::onReplyWithoutTxn(LegState &s, quint32 key, QByteArrayView tag, char type, qint64 t,
                                        qint64 pos)
{
    const bool eventTag = key > EventKeyBase;
    const DaemonState d = eventTag ? s.daemon[key - EventKeyBase] : DaemonState::None;
    if (d == DaemonState::Running && type == '#') {
        ++s.totals.events;
        if (t < 0)
            return;
        DaemonRate &r = s.rates[key];
        const int window = MaxReportsPerSecond + 1;
        const qint64 oldest = r.n == window ? r.times[r.head] : -1;
        r.times[r.head] = t;
        r.head = (r.head + 1) % window;
        if (r.n < window)
            ++r.n;
        if (oldest >= 0 && t - oldest < OneSecondUs && !r.reported) {
            r.reported = true;
            report(s, Rule::Daemon, Severity::Warning, tag, pos, -1,
                   QStringLiteral("more than 10 reports a second"));
        }
        return;
    }
    if (d == DaemonState::Stopped) {
        report(s, Rule::Daemon, Severity::Error, tag, pos, -1,
               QStringLiteral("event after StopDaemon completed"));
        return;
    }
    if (d == DaemonState::EndedWithSession) {
        report(s, Rule::Session, Severity::Error, tag, pos, -1,
               QStringLiteral("event after EndSession completed"));
        return;
    }
    switch (s.mark[key]) {
    case TagMark::Completed:
        report(s, Rule::Order, Severity::Error, tag, pos, s.closedAt[key], [&] {
            return QStringLiteral("'%1' line after the transaction completed (line %2)")
                .arg(QLatin1Char(type))
                .arg(s.closedAt[key]);
        });
        return;
    case TagMark::ClosedQuietly:
    case TagMark::SetAside:
        // Its remains are fine; its '%' frees the tag.
        if (type == '%') {
            s.mark[key] = TagMark::Completed;
            s.closedAt[key] = pos;
        }
        return;
    case TagMark::ClosedByAbort:
        report(s, Rule::Abort, Severity::Error, tag, pos, s.closedAt[key], [&] {
            return QStringLiteral("'%1' line after AbortE completed (line %2)")
                .arg(QLatin1Char(type))
                .arg(s.closedAt[key]);
        });
        return;
    case TagMark::Unused:
        break;
    }
    report(s, Rule::UnknownTag, Severity::Error, tag, pos, -1, [&] {
        return s.anyCommand
            ? QStringLiteral("reply for a tag not sent on the %1 leg").arg(QLatin1String(LegName(s.leg)))
            : QStringLiteral("reply before any command on the %1 leg").arg(QLatin1String(LegName(s.leg)));
    });
}

// '#', '!' and '%' come after the '&', and after the '%' of every earlier command.
void ProtocolChecker::checkReplyOrder(LegState &s, OpenTxn &o, QByteArrayView tag, char type, qint64 pos)
{
    Transaction &txn = o.t;
    if (txn.state == TxnState::Sent) {
        ++s.replied;
        if (type == '#')
            ++s.dataFirst;
        if (!o.orderReported) {
            o.orderReported = true;
            report(s, Rule::Order, Severity::Error, tag, pos, txn.commandLine,
                   [&] { return QStringLiteral("'%1' line before the '&'").arg(QLatin1Char(type)); });
        }
        txn.state = TxnState::Acked;
    }
    if (txn.key >= EventKeyBase || o.overlapReported)
        return;
    // The earliest open command must be this one.
    while (!s.order.empty()) {
        const OpenTxn *f = s.open.find(s.order.front().first);
        if (f && f->seq == s.order.front().second)
            break;
        s.order.pop_front();
    }
    if (!s.order.empty() && s.order.front().second != o.seq) {
        const Transaction &earlier = s.open.find(s.order.front().first)->t;
        o.overlapReported = true;
        report(s, Rule::Overlap, Severity::Error, tag, pos, earlier.commandLine, [&] {
            return QStringLiteral("'%1' line before the '%' of %2 (line %3)")
                .arg(QLatin1Char(type))
                .arg(QString::fromLatin1(TagText(earlier.key)))
                .arg(earlier.commandLine);
        });
    }
}

void ProtocolChecker::onDataLine(LegState &s, OpenTxn &o, QByteArrayView tag, QByteArrayView body, qint64 t,
                                 qint64 pos)
{
    Transaction &txn = o.t;
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
    // A line cut short shows only its start: its shape is not known.
    if (!o.matchReported && !lineCut_ && !body.trimmed().isEmpty())
        checkDataShape(s, o, tag, body, pos);
}

// R-DATA-MATCH: the items asked for, whole scan points, or the catalogue's shape.
void ProtocolChecker::checkDataShape(LegState &s, OpenTxn &o, QByteArrayView tag, QByteArrayView body,
                                     qint64 pos)
{
    const qint64 related = o.t.commandLine;
    if (o.hasWant) {
        if (HasItemNames(body, o.want))
            return;
        const QByteArray got = ItemNames(body);
        QList<QByteArray> gs = got.split(','), ws = o.want.split(',');
        std::sort(gs.begin(), gs.end());
        std::sort(ws.begin(), ws.end());
        QByteArray g = got, w = o.want;
        const QString items = Printable(g.replace(',', ", "), 60),
                      asked = Printable(w.replace(',', ", "), 60);
        if (gs != ws) {
            o.matchReported = true;
            report(s, Rule::DataMatch, Severity::Error, tag, pos, related,
                   [&] { return QStringLiteral("data holds %1 where %2 was asked for").arg(items, asked); });
        } else if (rules_.dataInRequestOrder()) {
            o.matchReported = true;
            report(s, Rule::DataMatch, Severity::Warning, tag, pos, related, [&] {
                return QStringLiteral("data holds %1, not in the order asked for (%2)").arg(items, asked);
            });
        }
        return;
    }
    if (o.pointValues > 0) {
        const qsizetype values = CountValues(body);
        if (values % o.pointValues == 0)
            return;
        o.matchReported = true;
        report(s, Rule::DataMatch, Severity::Error, tag, pos, related, [&] {
            return QStringLiteral(
                       "scan data of %1 is no whole number of points of %2 (as OnScanReport asked)")
                .arg(Plural(values, "value"), Plural(o.pointValues, "value"));
        });
        return;
    }
    if (!o.method)
        return;
    switch (o.method->shape) {
    case DataShape::Bool:
    case DataShape::Call:
    case DataShape::Quoted:
    case DataShape::Vectors: {
        const QString why = ShapeMismatch(*o.method, body, o.vectors);
        if (!why.isEmpty()) {
            o.matchReported = true;
            report(s, Rule::DataMatch, Severity::Error, tag, pos, related, why);
        }
        break;
    }
    default:
        break;
    }
}

// ---------------------------------------------------------------- errors

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
    if (number >= 0)
        checkErrorText(s, number, sev, f2, text, tag, pos, related);

    // "Illegal tag" answers a line that could not be tagged: it closes that line.
    if (!txn && (number == 1 || EqualsNoCase(text, "Illegal tag"))) {
        if (s.rejectPending) {
            s.rejectPending = false;
        } else if (s.awaiting) {
            const OpenTxn *o = s.open.find(s.awaitKey);
            if (o && o->seq == s.awaitSeq && o->t.state == TxnState::Sent) {
                s.mark[s.awaitKey] = TagMark::ClosedQuietly;
                s.closedAt[s.awaitKey] = pos;
                dropTxn(s, s.awaitKey);
            }
            s.awaiting = false;
        }
    }

    if (sev >= 0 && NeedsClearAllErrors(sev, rules_)) {
        s.errorState = true;
        s.errorLine = pos;
        abortPendingCommands(s, txn ? txn->key : 0, AbortMode::ByError);
    }
}

// R-ERROR-TEXT: the table's text and default severity, or a number of the
// right range.
void ProtocolChecker::checkErrorText(LegState &s, int number, int sev, QByteArrayView f2, QByteArrayView text,
                                     QByteArrayView tag, qint64 pos, qint64 related)
{
    ErrorSeen &seen = errors_[number * 16 + (sev < 0 ? 15 : sev)];
    if (errors_.size() > MaxErrorsSeen)
        errors_.clear();
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

// Closes every open command transaction but `exceptKey`, as the server aborts
// them: by an error their remains may still follow; by AbortE's '%' nothing
// may. Walks the open commands only.
void ProtocolChecker::abortPendingCommands(LegState &s, quint32 exceptKey, AbortMode mode)
{
    if (s.open.commands.isEmpty())
        return;
    const TagMark mark = mode == AbortMode::ByError ? TagMark::ClosedQuietly : TagMark::ClosedByAbort;
    for (quint32 key : s.open.commands.keys()) {
        if (key == exceptKey)
            continue;
        s.open.commands.find(key)->t.state = TxnState::Aborted;
        ++s.totals.aborted;
        s.mark[key] = mark;
        dropTxn(s, key);
    }
}

// ---------------------------------------------------------------- completion

void ProtocolChecker::complete(LegState &s, Transaction &txn, qint64 t, qint64 pos)
{
    const OpenTxn &o = *s.open.find(txn.key);
    txn.state = TxnState::Done;
    txn.tDone = t;
    txn.doneLine = pos;
    const QByteArray &name = methods_[size_t(txn.method)].name;
    const bool wantsData = o.kind == DataKind::Data || o.kind == DataKind::Report;
    if (wantsData && txn.dataLines == 0 && txn.errorLines == 0)
        report(s, Rule::Data, Severity::Error, TagText(txn.key), pos, txn.commandLine,
               [&] { return QStringLiteral("no data line for %1").arg(QString::fromLatin1(name)); });

    const bool ok = txn.errorLines == 0;
    noteCompletion(s, o, ok);

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
    const bool wasAbort = o.role == MethodRole::AbortE;
    s.mark[key] = TagMark::Completed;
    s.closedAt[key] = pos;
    if (s.awaiting && s.awaitKey == key && s.awaitSeq == o.seq)
        s.awaiting = false;
    dropTxn(s, key);
    if (wasAbort)
        windUpAbort(s, pos);
}

// What a completed command changes: the session, the error state, daemons.
void ProtocolChecker::noteCompletion(LegState &s, const OpenTxn &o, bool ok)
{
    switch (o.role) {
    case MethodRole::ClearAllErrors:
        s.errorState = false;
        s.afterAbort = false;
        break;
    case MethodRole::EndSession:
        if (!ok)
            break;
        s.session = SessionState::Outside;
        for (DaemonState &d : s.daemon)
            if (d == DaemonState::Running)
                d = DaemonState::EndedWithSession;
        s.rates.clear();
        break;
    case MethodRole::StartSession:
        if (s.session == SessionState::Unknown)
            s.session = SessionState::Inside;
        break;
    case MethodRole::StopDaemon:
        if (o.stopsDaemon >= 0 && s.daemon[size_t(o.stopsDaemon)] == DaemonState::Running) {
            s.daemon[size_t(o.stopsDaemon)] = DaemonState::Stopped;
            s.rates.remove(EventKeyBase + quint32(o.stopsDaemon));
        }
        break;
    case MethodRole::StopAllDaemons:
        for (DaemonState &d : s.daemon)
            if (d == DaemonState::Running)
                d = DaemonState::Stopped;
        s.rates.clear();
        break;
    default:
        if (o.kind == DataKind::Daemon && ok) {
            s.daemon[o.t.key - EventKeyBase] = DaemonState::Running;
            s.rates.remove(o.t.key);
        }
        break;
    }
}

// AbortE's '%' comes last: whatever command is still open was not wound up.
void ProtocolChecker::windUpAbort(LegState &s, qint64 pos)
{
    s.abortRunning = false;
    s.afterAbort = true;
    for (const OpenTxn &l : s.open.commands) {
        if (l.t.errorLines == 0)
            report(s, Rule::Abort, Severity::Error, TagText(l.t.key), pos, l.t.commandLine,
                   QStringLiteral("neither '%' nor an error before AbortE completed"));
        s.closedAt[l.t.key] = pos;
    }
    abortPendingCommands(s, 0, AbortMode::ByAbortE);
}

// ---------------------------------------------------------------- stream ends

void ProtocolChecker::reportOpen(LegState &s, qint64 pos, const char *why)
{
    if (s.open.isEmpty())
        return;
    const OpenTxn *oldest = nullptr;
    for (const OpenTable *table : {&s.open.commands, &s.open.events})
        for (const OpenTxn &o : *table)
            if (!oldest || o.seq < oldest->seq)
                oldest = &o;
    curParty_ = Party::Server;
    report(s, Rule::Order, Severity::Warning, {}, pos, oldest->t.commandLine, [&] {
        return QStringLiteral("%1 without '%' %2%3; the oldest: %4 %5 (line %6)")
            .arg(Plural(s.open.size(), "transaction"))
            .arg(QLatin1String(why))
            .arg(s.setAside ? QStringLiteral(" (and %1 set aside)").arg(s.setAside) : QString())
            .arg(QString::fromLatin1(TagText(oldest->t.key)))
            .arg(QString::fromLatin1(methods_[size_t(oldest->t.method)].name))
            .arg(oldest->t.commandLine);
    });
}

void ProtocolChecker::connectionReset(Leg leg, qint64 position, StreamStart start)
{
    LegState &s = *legs_[int(leg) & 1];
    reportOpen(s, position, "when the connection changed");
    if (onTxn_)
        for (const OpenTable *table : {&s.open.commands, &s.open.events})
            for (const OpenTxn &o : *table)
                onTxn_(TxnEvent::Closed, o.t, position);
    SessionState session = SessionState::Unknown;
    if (start == StreamStart::InSession) {
        session = SessionState::Inside;
    } else if (start == StreamStart::Connection) {
        // The relay client joins the server link's one connection.
        const SessionState link = legs_[int(Leg::Operator)]->session;
        session = leg == Leg::Operator     ? SessionState::Outside
            : link == SessionState::Ending ? SessionState::Inside
                                           : link;
    }
    s.restart(session);
}

void ProtocolChecker::finish(qint64 position)
{
    for (auto &s : legs_)
        reportOpen(*s, position < 0 ? fed_ : position, "at the end of the log");
}

} // namespace check
