// The protocol checker: a line the server sent, in its steps, and the transaction it completes.

#include "check/legstate.h"

#include <cstring>

namespace check {

// ---------------------------------------------------------------- server lines

void ProtocolChecker::onServerLine(LegState &s, qint64 t, QByteArrayView line, quint32 key, qint64 pos)
{
    char type = 0;
    QByteArrayView body;
    if (!parseReply(s, line, key, pos, &type, &body)) {
        // Without a usable tag, or for none of the open commands, it is a record of its own.
        if (key == 0 || !s.open.find(key))
            onStray(s, key, line.size() > 6 && line[6] == '!', t, pos);
        return;
    }
    const QByteArrayView tag = line.first(5);
    if (key == EventKeyBase) {
        onUnsolicited(s, tag, type, body, t, pos);
        return;
    }
    // The server's lines for a tag the client reused while it was open are
    // out of order because of that.
    if (!s.reusedTags.isEmpty()) {
        const auto reused = s.reusedTags.constFind(key);
        if (reused != s.reusedTags.constEnd())
            setCause(Rule::TagUnique, reused.value(), Party::Client,
                     Bit(Rule::Order) | Bit(Rule::Overlap) | Bit(Rule::Data) | Bit(Rule::DataMatch)
                         | Bit(Rule::UnknownTag));
    }
    OpenTxn *o = s.open.find(key);
    if (!o) {
        if (type == '!' && !s.malformed.empty() && answersMalformedTag(s, key))
            onErrorLine(s, nullptr, tag, body, t, pos, true);
        else
            onReplyWithoutTxn(s, key, tag, type, t, pos);
        return;
    }
    if (!s.malformed.empty())
        closeUnanswered(s, o->t.commandLine);
    Transaction &txn = o->t;
    if (type == '&') {
        if (txn.state != TxnState::Sent) {
            // A '&' after the reply began, where it was found missing.
            if (o->noAckLine >= 0)
                setCause(Rule::Order, o->noAckLine, Party::Server, Bit(Rule::Order));
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
        onErrorLine(s, &txn, tag, body, t, pos);
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
    else if ((c == '#' || c == '!') && IsBlank(*body))
        report(s, Rule::ReplyFormat, Severity::Error, tag, pos, -1,
               [&] { return QStringLiteral("'%1' line without content").arg(QLatin1Char(c)); });
    return true;
}

// E0000: the server's own events and errors.
void ProtocolChecker::onUnsolicited(LegState &s, QByteArrayView tag, char type, QByteArrayView body, qint64 t,
                                    qint64 pos)
{
    ++s.totals.events;
    if (type == '&' || type == '%') {
        report(s, Rule::E0000, Severity::Error, tag, pos, -1, [&] {
            return QStringLiteral("E0000 never %1")
                .arg(type == '&' ? QStringLiteral("acknowledges") : QStringLiteral("completes"));
        });
    } else if (type == '!') {
        onErrorLine(s, nullptr, tag, body, t, pos);
    }
}

// Whether an error line under `key` answers a malformed line that carried
// that tag: then the ones before it went unanswered, and it is the oldest.
bool ProtocolChecker::answersMalformedTag(LegState &s, quint32 key)
{
    if (key == 0)
        return false;
    const auto it = std::find_if(s.malformed.begin(), s.malformed.end(),
                                 [key](const LegState::Malformed &m) { return m.txn.key == key; });
    if (it == s.malformed.end())
        return false;
    closeUnanswered(s, it->txn.commandLine);
    return true;
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
    // The tag of a line that was no command: the server read it anyway.
    if (!s.malformedTags.isEmpty()) {
        const auto malformed = s.malformedTags.constFind(key);
        if (malformed != s.malformedTags.constEnd())
            setCause(Rule::TagFormat, malformed.value(), Party::Client, Bit(Rule::UnknownTag));
    }
    report(s, Rule::UnknownTag, Severity::Error, tag, pos, -1, [&] {
        return s.anyCommand
            ? QStringLiteral("reply for a tag not sent on the %1 leg").arg(QLatin1String(LegName(s.leg)))
            : QStringLiteral("reply before any command on the %1 leg").arg(QLatin1String(LegName(s.leg)));
    });
    onStray(s, key, type == '!', t, pos);
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
            if (rules_.on(Rule::Order))
                o.noAckLine = pos;
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
        // A command sent before the '&' it had to wait for may well be
        // answered before the one it overtook.
        if (o.unpaced)
            setCause(Rule::AckFirst, txn.commandLine, Party::Client, Bit(Rule::Overlap));
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
    if (!o.matchReported && !lineCut_ && !IsBlank(body))
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
    if (keepCompleted_)
        keepCompleted(txn);

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

// A server line that belongs to no command: opened and closed on its line.
void ProtocolChecker::onStray(LegState &s, quint32 key, bool error, qint64 t, qint64 pos)
{
    ++s.totals.stray;
    Transaction txn;
    txn.key = key;
    txn.kind = TxnKind::Stray;
    txn.leg = s.leg;
    txn.state = TxnState::Done;
    txn.commandLine = txn.doneLine = pos;
    txn.tSent = txn.tDone = t;
    if (error) {
        txn.errorLines = 1;
        ++s.totals.errorLines;
    }
    if (onTxn_) {
        onTxn_(TxnEvent::Opened, txn, pos);
        if (error)
            onTxn_(TxnEvent::Error, txn, pos);
        onTxn_(TxnEvent::Closed, txn, pos);
    }
    if (keepCompleted_)
        keepCompleted(txn);
}

void ProtocolChecker::keepCompleted(const Transaction &txn)
{
    if (ring_.size() < size_t(RingSize)) {
        // One block for the whole ring (its pages are touched as it fills):
        // checkers made one after another, one a session of a capture, then
        // reuse the same memory instead of leaving the halves of a growing one.
        if (ring_.capacity() == 0)
            ring_.reserve(size_t(RingSize));
        ring_.push_back(txn);
        ringFill_ = ring_.size();
    } else {
        ring_[ringHead_] = txn;
        if (++ringHead_ == size_t(RingSize))
            ringHead_ = 0;
    }
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
        if (s.leg == Leg::Relay)
            legs_[int(Leg::Operator)]->relaySessionOpen = false;
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
        // Daemons are kept by event tag; one started under a command tag is not followed.
        if (o.kind == DataKind::Daemon && ok && o.t.key > EventKeyBase) {
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

} // namespace check
