// The protocol checker: a line the client sent, in its steps.

#include "check/legstate.h"

#include <cstring>

namespace check {

// ---------------------------------------------------------------- client lines

void ProtocolChecker::onClientLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos)
{
    const bool unpaced = checkPacing(s, line, pos);
    Command c;
    if (!parseCommand(s, line, key, pos, c)) {
        openMalformed(s, line, key, t, pos);
        return;
    }
    c.unpaced = unpaced;
    ++s.totals.commands;
    s.anyCommand = true;
    checkCommandRules(s, c, pos);
    checkTagReuse(s, c, pos);
    keepWithinCap(s, c, pos);
    openCommand(s, c, t, pos);
}

// The command before must have had its '&' (StartSession: its '%'). True
// when this one did not wait and that was reported.
bool ProtocolChecker::checkPacing(LegState &s, QByteArrayView line, qint64 pos)
{
    bool unpaced = false;
    if (s.anyCommand)
        ++s.followers;
    if (s.awaiting) {
        const OpenTxn *o = s.open.find(s.awaitKey);
        if (o && o->seq == s.awaitSeq && (s.awaitPercent || o->t.state == TxnState::Sent)) {
            ++s.unpaced;
            unpaced = rules_.on(Rule::AckFirst);
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
    return unpaced;
}

// A line that is no command is a record of its own: the server's "Illegal
// tag" answers it.
void ProtocolChecker::openMalformed(LegState &s, QByteArrayView line, quint32 key, qint64 t, qint64 pos)
{
    ++s.totals.malformed;
    if (s.malformed.size() >= size_t(MaxMalformedOpen))
        closeMalformed(s, -1, pos, false);
    LegState::Malformed m;
    Transaction &txn = m.txn;
    txn.key = key;
    txn.kind = TxnKind::Malformed;
    txn.leg = s.leg;
    txn.commandLine = pos;
    txn.tSent = t;
    if (followsOn(Rule::TagFormat))
        m.root = cause_.rule;
    // A StartSession the server could not read leaves the client outside.
    if (s.session == SessionState::Outside && line.indexOf("StartSession") >= 0) {
        s.sessionFromMalformed = pos;
        s.sessionFromRule = m.root;
    }
    s.malformed.push_back(m);
    // A tag with something wrong after it: the server may still answer
    // under it.
    if (key != 0) {
        if (s.malformedTags.size() >= MaxMalformedTags)
            s.malformedTags.clear();
        s.malformedTags.insert(key, pos);
    }
    if (onTxn_)
        onTxn_(TxnEvent::Opened, s.malformed.back().txn, pos);
}

// Closes the oldest malformed line's record: by its answer, an error line at
// `pos`, or unanswered.
void ProtocolChecker::closeMalformed(LegState &s, qint64 t, qint64 pos, bool answered)
{
    Transaction txn = s.malformed.front().txn;
    s.malformed.pop_front();
    if (answered) {
        txn.errorLines = 1;
        txn.tDone = t;
        txn.doneLine = pos;
        if (onTxn_)
            onTxn_(TxnEvent::Error, txn, pos);
        txn.state = TxnState::Done;
    }
    if (onTxn_)
        onTxn_(TxnEvent::Closed, txn, pos);
    keepInRing(txn);
}

// The server answers in order: the malformed lines sent before `before` (a
// command it answered, -1: all of them) got no answer.
void ProtocolChecker::closeUnanswered(LegState &s, qint64 before)
{
    while (!s.malformed.empty() && (before < 0 || s.malformed.front().txn.commandLine < before))
        closeMalformed(s, -1, curPos_, false);
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
        s.sessionFromMalformed = -1;
        s.startSessionDefaults();
        if (s.leg == Leg::Relay)
            legs_[int(Leg::Operator)]->relaySessionOpen = true;
    } else if (c.isEnd) {
        if (s.session != SessionState::Unknown)
            s.session = SessionState::Ending;
    } else if (s.session == SessionState::Outside && !s.relaySessionOpen) {
        if (s.sessionFromMalformed >= 0)
            setCause(s.sessionFromRule, s.sessionFromMalformed, Party::Client, Bit(Rule::Session));
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

    if (s.errorState && !c.isClear && c.role != MethodRole::ErrorQuery) {
        if (s.errorFromMalformed >= 0)
            setCause(s.errorFromRule, s.errorFromMalformed, Party::Client, Bit(Rule::ErrorState));
        report(s, Rule::ErrorState, Severity::Error, c.tag, pos, s.errorLine, [&] {
            return QStringLiteral("%1 before ClearAllErrors after the error at line %2")
                .arg(Printable(c.name))
                .arg(s.errorLine);
        });
    }
}

// A tag is free once its transaction completed; one set aside over the cap
// still counts as in use.
void ProtocolChecker::checkTagReuse(LegState &s, const Command &c, qint64 pos)
{
    const quint32 key = c.key;
    if (!s.reusedTags.isEmpty())
        s.reusedTags.remove(key);
    if (!s.malformedTags.isEmpty())
        s.malformedTags.remove(key);
    if (Transaction *old = openTxn(s, key)) {
        if (rules_.on(Rule::TagUnique))
            s.reusedTags.insert(key, pos);
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
    OpenTxn &o = s.open.tableOf(c.key).insert(c.key);
    o.seq = s.nextSeq++;
    o.method = c.method;
    o.kind = c.method ? c.method->kind : DataKind::Unknown;
    o.t.method = c.methodIndex;
    o.t.leg = s.leg;
    o.t.commandLine = pos;
    o.t.tSent = t;
    o.unpaced = c.unpaced;
    // Most commands need no look at their arguments.
    const bool needsArgs = c.role != MethodRole::Other
        || (c.method
            && (c.method->shape == DataShape::Items || c.method->shape == DataShape::Vectors
                || c.method->kind == DataKind::Daemon));
    const QByteArrayView args = needsArgs ? ArgsOf(c.text) : QByteArrayView();
    switch (c.method ? c.method->shape : DataShape::Free) {
    case DataShape::Items:
        // Clients ask for the same items again and again: keep the last.
        o.hasWant = true;
        if (!SameBytes(args, s.lastItemsAsked)) {
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
    // An empty report list is an error the server rejects: the format stays.
    if (c.role == MethodRole::OnPtMeasReport) {
        if (!IsBlank(args))
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
    if (onTxn_)
        onTxn_(TxnEvent::Opened, o.t, pos);
    (c.eventTag ? s.eventOrder : s.order).emplace_back(c.key, o.seq);

    s.awaiting = true;
    s.awaitKey = c.key;
    s.awaitSeq = o.seq;
    s.awaitLine = pos;
    s.awaitPercent = c.isStart;
}

} // namespace check
