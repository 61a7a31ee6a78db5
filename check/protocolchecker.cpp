#include "check/legstate.h"

#include <cstring>

namespace check {

const char *LegName(Leg leg)
{
    return leg == Leg::Operator ? "operator" : "relay";
}

quint32 TagKey(QByteArrayView tag)
{
    return tag.size() == 5 ? TagKeyOf(tag.data()) : 0;
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

qint64 ProtocolChecker::followOnCount() const
{
    qint64 n = 0;
    for (const auto &r : followOns_)
        n += r[0] + r[1];
    return n;
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
    // Clients send the same method again and again.
    if (lastMethod_ >= 0 && SameBytes(methods_[size_t(lastMethod_)].name, name))
        return lastMethod_;
    lastMethod_ = internNew(name);
    return lastMethod_;
}

int ProtocolChecker::internNew(QByteArrayView name)
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

void ProtocolChecker::reportSource(Leg leg, Rule rule, Severity severity, Party party, qint64 position,
                                   const QString &text)
{
    LegState &s = *legs_[int(leg) & 1];
    const Party was = curParty_;
    curParty_ = party;
    cause_.line = -1; // what the source finds stands on its own
    report(s, rule, severity, QByteArrayView(), position, -1, text);
    curParty_ = was;
}

void ProtocolChecker::setCause(Rule root, qint64 line, Party party, quint32 rules)
{
    // Only a root cause that was reported can be named.
    if (!rules_.on(root) || line < 0)
        return;
    cause_ = {line, root, party, rules};
}

bool ProtocolChecker::counted(LegState &s, Rule r, Severity sev)
{
    if (!rules_.on(r))
        return false;
    ++counts_[size_t(r)][size_t(sev)];
    if (followsOn(r)) {
        ++byParty_[size_t(r)][size_t(cause_.party)];
        ++followOns_[size_t(r)][size_t(cause_.party)];
    } else {
        ++byParty_[size_t(r)][size_t(curParty_)];
    }
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
    if (followsOn(r)) {
        f.party = cause_.party;
        f.causeRule = cause_.rule;
        f.causeLine = cause_.line;
        f.text += QStringLiteral(" (follows from %1 at line %2)")
                      .arg(QLatin1String(RuleId(cause_.rule)))
                      .arg(cause_.line);
    }
    onFinding_(f);
}

Transaction *ProtocolChecker::openTxn(LegState &s, quint32 key)
{
    OpenTxn *o = s.open.find(key);
    return o ? &o->t : nullptr;
}

const Transaction *ProtocolChecker::openTransaction(Leg leg, quint32 key) const
{
    if (key >= TagKeyCount)
        return nullptr;
    return const_cast<ProtocolChecker *>(this)->openTxn(*legs_[int(leg) & 1], key);
}

void ProtocolChecker::dropTxn(LegState &s, quint32 key)
{
    OpenTable &table = s.open.tableOf(key);
    if (onTxn_)
        if (const OpenTxn *o = table.find(key))
            onTxn_(TxnEvent::Closed, o->t, curPos_);
    table.remove(key);
    // Keep the order queue from growing behind a transaction that stays open.
    OrderQueue &q = key < EventKeyBase ? s.order : s.eventOrder;
    auto stillOpen = [&](const OrderQueue::Entry &e) {
        const OpenTxn *o = table.find(e.first);
        return o && o->seq == e.second;
    };
    while (!q.empty() && !stillOpen(q.front()))
        q.pop_front();
    if (q.size() > 2 * size_t(table.size()) + 1024) {
        OrderQueue kept;
        for (size_t i = 0; i < q.size(); ++i)
            if (stillOpen(q[i]))
                kept.emplace_back(q[i].first, q[i].second);
        q.swap(kept);
    }
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
    qsizetype i = 0;
    while (i + 8 <= n && AllPrintable(p + i, 8))
        i += 8;
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
    cause_.line = -1;
    LegState &s = *legs_[int(leg) & 1];
    if (dir == Direction::ToServer)
        ++s.totals.linesToServer;
    else
        ++s.totals.linesFromServer;

    // A view, not a copy: no allocation for a line without a finding.
    const quint32 key = line.size() >= 5 ? TagKeyOf(line.data()) : 0;
    const QByteArrayView tagText = key != 0 ? line.first(5) : QByteArrayView();
    // Most lines are clean: the byte rules look closer only when they are not.
    if ((end != LineEnd::Unknown && end != LineEnd::CrLf) || !AllPrintable(line.data(), line.size())) {
        checkLineBytes(s, line, pos, end, tagText);
        // A line led by a line-end byte (the CR of an LF CR before it, say)
        // has no tag because of it.
        if (!line.isEmpty() && (line[0] == '\r' || line[0] == '\n'))
            setCause(Rule::Crlf, pos, curParty_, Bit(Rule::TagFormat));
    }
    if (fullLength + rules_.lengthLimitOverhead() > RuleLineLimit)
        report(s, Rule::Length, Severity::Warning, tagText, pos, -1, [&] {
            return QStringLiteral("line of %1 characters, more than %2").arg(fullLength).arg(RuleLineLimit);
        });

    if (dir == Direction::ToServer)
        onClientLine(s, timeUs, line, key, pos);
    else
        onServerLine(s, timeUs, line, key, pos);
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
    cause_.line = -1;
    reportOpen(s, position, "when the connection changed");
    curPos_ = position;
    closeUnanswered(s, -1);
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
    if (leg == Leg::Relay)
        legs_[int(Leg::Operator)]->relaySessionOpen = false;
}

void ProtocolChecker::finish(qint64 position)
{
    cause_.line = -1;
    for (auto &s : legs_) {
        const qint64 pos = position < 0 ? fed_ : position;
        reportOpen(*s, pos, "at the end of the log");
        curPos_ = pos;
        closeUnanswered(*s, -1);
    }
}

} // namespace check
