#include "inspect/liveinspector.h"

#include <cstring>

#include <QDateTime>

namespace inspect {

QString LogLineText(int logLine)
{
    if (logLine >= 0)
        return QString::number(qint64(logLine) + 1);
    switch (logLine) {
    case NotInLogFrozen:
        return QStringLiteral("not in the log: frozen");
    case NotInLogFiltered:
        return QStringLiteral("not in the log: filtered");
    default:
        return QStringLiteral("not in the log");
    }
}

LiveInspector::LiveInspector(QObject *parent)
    : QObject(parent), recent_(RecentLines), openSlot_(check::LegCount * KeysPerLeg, -1)
{
    clock_.start();
    wallBaseMs_ = QDateTime::currentMSecsSinceEpoch();
    refresh_.setSingleShot(true);
    refresh_.setInterval(RefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &LiveInspector::flush);
    checker_.setKeepCompleted(false); // the completed rows below are the ones kept
    checker_.setFindingHandler([this](const check::Finding &f) { onFinding(f); });
    checker_.setTransactionHandler([this](check::TxnEvent e, const check::Transaction &t, qint64 position) {
        onTransaction(e, t, position);
    });
}

LiveInspector::~LiveInspector() = default;

void LiveInspector::setRules(const check::RuleSet &rules)
{
    checker_.setRules(rules);
}

void LiveInspector::feed(check::Leg leg, check::Direction dir, const QByteArray &line, bool own, int logLine,
                         check::LineEnd end)
{
    currentBytes_ = &line;
    feed(leg, dir, QByteArrayView(line), own, logLine, end);
    currentBytes_ = nullptr;
}

void LiveInspector::feed(check::Leg leg, check::Direction dir, QByteArrayView line, bool own, int logLine,
                         check::LineEnd end)
{
    ++position_;
    timeUs_ = fileClock_ ? fileUs_ : heldUs_ >= 0 ? heldUs_ : nowUs();
    if (timeUs_ - floodWindowUs_ >= 1000000) {
        // A new second: flooding rules are listed again.
        floodWindowUs_ = timeUs_;
        floodCount_.fill(0);
        if (muted_) {
            muted_ = false;
            for (int i = 0; i < check::RuleCount; ++i)
                checker_.setFindingDetail(check::Rule(i), true);
        }
    }
    LineRecord &r = recent_[size_t(position_ & (RecentLines - 1))];
    r.position = position_;
    r.logLine = logLine;
    r.own = own;
    r.fromServer = dir == check::Direction::FromServer;
    r.isLine = true;
    current_ = line.first(qMin<qsizetype>(line.size(), check::KeptLineLength));
    lineFound_ = false;
    if (line.size() > current_.size())
        checker_.feedLong(leg, dir, timeUs_, current_, line.size(), position_, end);
    else
        checker_.feed(leg, dir, timeUs_, current_, position_, end);
    current_ = {};
    changed();
}

void LiveInspector::connectionReset(check::Leg leg, int logLine, check::StreamStart start)
{
    ++position_;
    timeUs_ = nowUs();
    LineRecord &r = recent_[size_t(position_ & (RecentLines - 1))];
    r.position = position_;
    r.logLine = logLine;
    r.own = false;
    r.fromServer = false;
    r.isLine = false;
    checker_.connectionReset(leg, position_, start);
    changed();
}

void LiveInspector::reportSource(check::Leg leg, check::Rule rule, check::Severity severity,
                                 check::Party party, const QString &text)
{
    checker_.reportSource(leg, rule, severity, party, position_, text);
    changed();
}

void LiveInspector::finish()
{
    checker_.finish(position_);
    changed();
}

void LiveInspector::setLive(bool on)
{
    if (on == live_)
        return;
    live_ = on;
    // Turned on or off amid the traffic: where the sessions stand is not known.
    connectionReset(check::Leg::Operator, -1, check::StreamStart::Unknown);
    connectionReset(check::Leg::Relay, -1, check::StreamStart::Unknown);
}

void LiveInspector::logCleared()
{
    for (TxnRow &t : open_)
        t.logLine = -1;
    for (TxnRow &t : completed_)
        t.logLine = -1;
    for (FindingRow &f : findings_)
        f.logLine = f.relatedLogLine = NotInLog;
    for (LineRecord &r : recent_)
        r.logLine = NotInLog;
    byLogLine_.clear();
    addedFirst_ = addedLast_ = -1;
    Q_EMIT logLinesForgotten();
    changed();
}

const LiveInspector::LineRecord *LiveInspector::recent(qint64 position) const
{
    if (position <= 0)
        return nullptr;
    const LineRecord &r = recent_[size_t(position & (RecentLines - 1))];
    return r.position == position ? &r : nullptr;
}

QString LiveInspector::lineName(qint64 position) const
{
    int logLine = NotInLog;
    bool known = false;
    if (const LineRecord *r = recent(position)) {
        logLine = r->logLine;
        known = true;
    } else {
        // Older than the recent lines: an open transaction's command still
        // knows its line.
        for (const TxnRow &t : open_)
            if (t.position == position) {
                logLine = t.logLine;
                known = true;
                break;
            }
    }
    if (!known)
        return QStringLiteral("an earlier line");
    if (logLine >= 0)
        return QStringLiteral("line ") + LogLineText(logLine);
    return QStringLiteral("a line ") + LogLineText(logLine);
}

QString LiveInspector::numbered(const QString &text) const
{
    static const QLatin1String Word("line ");
    qsizetype at = text.indexOf(Word);
    if (at < 0)
        return text;
    QString out;
    out.reserve(text.size() + 16);
    qsizetype done = 0;
    while (at >= 0) {
        qsizetype end = at + Word.size();
        while (end < text.size() && text[end].isDigit())
            ++end;
        const bool wordStart = at == 0 || !text[at - 1].isLetterOrNumber();
        if (wordStart && end > at + Word.size()) {
            bool ok = false;
            const qint64 position =
                QStringView(text).sliced(at + Word.size(), end - at - Word.size()).toLongLong(&ok);
            if (ok) {
                out += QStringView(text).sliced(done, at - done);
                out += lineName(position);
                done = end;
            }
        }
        at = text.indexOf(Word, end);
    }
    out += QStringView(text).sliced(done);
    return out;
}

void LiveInspector::changed()
{
    if (!refresh_.isActive())
        refresh_.start();
}

void LiveInspector::flush()
{
    refresh_.stop();
    if (addedFirst_ >= 0) {
        const int first = addedFirst_, last = addedLast_;
        addedFirst_ = addedLast_ = -1;
        Q_EMIT logLineFindingsAdded(first, last);
    }
    Q_EMIT updated();
}

void LiveInspector::onFinding(const check::Finding &f)
{
    if (++floodCount_[size_t(f.rule)] >= floodLimit_) {
        checker_.setFindingDetail(f.rule, false);
        muted_ = true;
    }
    FindingRow row;
    row.finding = f;
    // The checker names lines by their place in its stream; the views name
    // them as the traffic log does.
    row.finding.text = numbered(f.text);
    row.timeUs = timeUs_;
    if (const LineRecord *r = recent(f.line)) {
        row.logLine = r->logLine;
        row.own = r->own;
        row.fromServer = r->fromServer;
        row.known = r->isLine;
    }
    if (const LineRecord *r = recent(f.relatedLine))
        row.relatedLogLine = r->logLine;
    if (f.isFollowOn()) {
        ++followOnsBy_[size_t(f.rule)][size_t(f.severity)];
        row.cause = rootSerial(f.causeLine, f.causeRule);
        // The side at fault is the root cause's: its line's, or the one the
        // checker names when that line is no longer known here.
        const LineRecord *r = recent(f.causeLine);
        row.own = r && r->own;
        row.fromServer = r && r->fromServer;
        row.known = r && r->isLine;
    }
    if (findings_.size() >= size_t(MaxFindings)) {
        const FindingRow &old = findings_.front();
        if (old.logLine >= 0)
            byLogLine_.remove(old.logLine, findingsBase_);
        findings_.pop_front();
        ++findingsBase_;
    }
    const quint64 serial = findingsEnd();
    findings_.push_back(std::move(row));
    const FindingRow &kept = findings_.back();
    if (kept.logLine >= 0) {
        byLogLine_.insert(kept.logLine, serial);
        addedFirst_ = addedFirst_ < 0 ? kept.logLine : qMin(addedFirst_, kept.logLine);
        addedLast_ = qMax(addedLast_, kept.logLine);
    }
    // A row that the line being fed opens (its command, a line that is no
    // command, a stray server line) opens after its findings.
    const bool onThisLine = f.line == position_;
    if (onThisLine)
        lineFound_ = true;
    if (!(onThisLine && !row.fromServer) && !f.tag.isEmpty())
        markFinding(f.leg, f.tag);
}

quint64 LiveInspector::rootSerial(qint64 line, check::Rule rule) const
{
    for (size_t i = findings_.size(), n = 0; i > 0 && n < size_t(RootSearch); --i, ++n) {
        const FindingRow &r = findings_[i - 1];
        if (r.finding.line == line && r.finding.rule == rule && !r.followOn())
            return findingsBase_ + i;
    }
    return 0;
}

// The transaction a finding names, open or among the last completed ones.
void LiveInspector::markFinding(check::Leg leg, const QByteArray &tag)
{
    const quint32 key = check::TagKey(tag);
    if (key == 0)
        return;
    if (key < KeysPerLeg && openSlot_[openKey(leg, key)] >= 0) {
        open_[size_t(openSlot_[openKey(leg, key)])].finding = true;
        ++openGeneration_;
        return;
    }
    for (quint64 s = completedEnd_; s > completedBase_ && completedEnd_ - s < 64; --s) {
        TxnRow &r = completed_[size_t((s - 1) % MaxCompleted)];
        if (r.key == key && r.leg == leg) {
            r.finding = true;
            return;
        }
    }
}

namespace {
// What the checker knows of a transaction's replies so far, into its row.
void Progress(const check::Transaction &t, TxnRow &row)
{
    row.acked = t.tAck >= 0 || t.state == check::TxnState::Acked;
    row.tAck = t.tAck;
    row.lines = (row.acked ? 1u : 0u) + t.dataLines + t.errorLines;
}
} // namespace

const TxnRow &LiveInspector::openRow(int i) const
{
    TxnRow &row = open_[size_t(i)];
    if (row.kind == check::TxnKind::Command)
        if (const check::Transaction *t = checker_.openTransaction(row.leg, row.key))
            Progress(*t, row);
    return row;
}

// The open row of a record, -1 when it has none: a command's by its tag, any
// other by its line.
int LiveInspector::openIndex(check::TxnKind kind, check::Leg leg, quint32 key, qint64 position) const
{
    if (kind == check::TxnKind::Command)
        return openSlot_[openKey(leg, key)];
    return otherSlot_.value(position, -1);
}

// Where the open row `r` is found from now on; -1: it is no longer open.
void LiveInspector::setOpenIndex(const TxnRow &r, int index)
{
    if (r.kind == check::TxnKind::Command)
        openSlot_[openKey(r.leg, r.key)] = index;
    else if (index < 0)
        otherSlot_.remove(r.position);
    else
        otherSlot_[r.position] = index;
}

// The error text of the line being fed, a '!' line.
QByteArray LiveInspector::currentErrorText() const
{
    if (current_.size() <= 7)
        return QByteArray();
    return QByteArray(current_.data() + 7, qMin<qsizetype>(current_.size() - 7, MaxErrorChars)).trimmed();
}

void LiveInspector::onTransaction(check::TxnEvent event, const check::Transaction &t, qint64 position)
{
    if (t.key >= KeysPerLeg)
        return;
    const bool command = t.kind == check::TxnKind::Command;
    if (event == check::TxnEvent::Opened) {
        TxnRow row;
        row.leg = t.leg;
        row.kind = t.kind;
        row.key = t.key;
        row.tSent = t.tSent >= 0 ? t.tSent : timeUs_;
        row.position = command ? position : t.commandLine;
        if (const LineRecord *r = recent(row.position)) {
            row.logLine = r->logLine;
            row.own = r->own;
        }
        OpenText text;
        if (currentBytes_ && currentBytes_->size() <= MaxCommandChars)
            text.command = *currentBytes_;
        else
            text.command = current_.first(qMin<qsizetype>(current_.size(), MaxCommandChars)).toByteArray();
        row.finding = lineFound_;
        if (command) {
            quint32 &previous = lastOpened_[size_t(t.leg)];
            if (previous > 0 && previous - 1 != t.key)
                if (const check::Transaction *p = checker_.openTransaction(t.leg, previous - 1))
                    row.pipelined = p->tAck < 0 && p->state == check::TxnState::Sent;
            previous = t.key + 1;
        } else {
            if (otherSlot_.contains(row.position))
                return; // opened once already
            otherOrder_.push_back(row.position);
        }
        setOpenIndex(row, int(open_.size()));
        open_.push_back(row);
        openText_.push_back(std::move(text));
        ++openGeneration_;
        if (!command && t.kind == check::TxnKind::Malformed) {
            // Unanswered ones must not pile up: the oldest still open goes.
            while (!otherOrder_.empty() && !otherSlot_.contains(otherOrder_.front()))
                otherOrder_.pop_front();
            if (otherSlot_.size() > MaxOpenMalformed) {
                const int oldest = otherSlot_.value(otherOrder_.front());
                TxnRow done = open_[size_t(oldest)];
                done.outcome = TxnOutcome::Dropped;
                closeRow(oldest, std::move(done));
            }
        }
        return;
    }
    const int index = openIndex(t.kind, t.leg, t.key, t.commandLine);
    if (index < 0)
        return;
    ++openGeneration_;
    // An open row's progress ('&', reply lines) is read from the checker when
    // it is shown (openRow): an acknowledge or a data line leaves it alone.
    if (event == check::TxnEvent::Acked || event == check::TxnEvent::Data)
        return;
    if (event == check::TxnEvent::Error) {
        QByteArray &error = openText_[size_t(index)].error;
        if (error.isEmpty())
            error = currentErrorText();
        if (!command)
            open_[size_t(index)].lines = t.errorLines;
        return;
    }
    // Closed: to the completed rows.
    TxnRow done = open_[size_t(index)];
    Progress(t, done);
    if (t.kind == check::TxnKind::Stray) {
        done.tDone = done.tSent;
        done.lines = 1;
        done.outcome = t.errorLines > 0 ? TxnOutcome::Error : TxnOutcome::Ok;
        QByteArray &error = openText_[size_t(index)].error;
        if (done.outcome == TxnOutcome::Error && error.isEmpty())
            error = currentErrorText();
    } else if (t.state == check::TxnState::Done) {
        if (command)
            ++done.lines;
        done.tDone = t.tDone >= 0 ? t.tDone : timeUs_;
        done.outcome = t.errorLines > 0 ? TxnOutcome::Error : TxnOutcome::Ok;
    } else {
        done.outcome = t.state == check::TxnState::Aborted ? TxnOutcome::Aborted : TxnOutcome::Dropped;
        done.tDone = -1;
    }
    closeRow(index, std::move(done));
}

// Takes an open row out of the open set and keeps it, with its texts, among
// the completed.
void LiveInspector::closeRow(int index, TxnRow done)
{
    keepText(done, openText_[size_t(index)]);
    setOpenIndex(open_[size_t(index)], -1);
    const int last = int(open_.size()) - 1;
    if (index != last) {
        open_[size_t(index)] = open_[size_t(last)];
        openText_[size_t(index)] = std::move(openText_[size_t(last)]);
        setOpenIndex(open_[size_t(index)], index);
    }
    open_.pop_back();
    openText_.pop_back();
    ++openGeneration_;
    if (completed_.size() < size_t(MaxCompleted)) {
        if (completed_.capacity() == 0) // one block, its pages touched as it fills
            completed_.reserve(size_t(MaxCompleted));
        completed_.push_back(done);
    } else
        completed_[size_t(completedEnd_ % MaxCompleted)] = done;
    ++completedEnd_;
    if (completedEnd_ - completedBase_ > quint64(MaxCompleted))
        ++completedBase_;
}

void LiveInspector::keepText(TxnRow &row, const OpenText &text)
{
    row.textAt = textWritten_;
    row.textLength = quint16(text.command.size());
    row.errorLength = quint16(text.error.size());
    putText(text.command);
    putText(text.error);
}

void LiveInspector::putText(QByteArrayView text)
{
    while (!text.isEmpty()) {
        const size_t at = size_t(textWritten_ % TextRingSize);
        const size_t n = qMin(size_t(text.size()), TextRingSize - at);
        if (textRing_.size() < at + n) // grows by doubling up to its size
            textRing_.resize(qMin(TextRingSize, qMax(at + n, 2 * textRing_.size())));
        std::memcpy(textRing_.data() + at, text.data(), n);
        textWritten_ += n;
        text = text.sliced(qsizetype(n));
    }
}

QByteArray LiveInspector::ringText(quint64 at, qsizetype length) const
{
    QByteArray out;
    out.resize(length);
    for (qsizetype done = 0; done < out.size();) {
        const size_t from = size_t((at + quint64(done)) % TextRingSize);
        const size_t n = qMin(size_t(out.size() - done), TextRingSize - from);
        std::memcpy(out.data() + done, textRing_.data() + from, n);
        done += qsizetype(n);
    }
    return out;
}

const LiveInspector::OpenText *LiveInspector::openText(const TxnRow &row) const
{
    if (row.key >= KeysPerLeg)
        return nullptr;
    // A copy of a row may outlive it: the text is that of the same command.
    const int index = openIndex(row.kind, row.leg, row.key, row.position);
    return index >= 0 && open_[size_t(index)].position == row.position ? &openText_[size_t(index)] : nullptr;
}

QByteArray LiveInspector::commandText(const TxnRow &row) const
{
    if (row.outcome != TxnOutcome::Open)
        return ringText(row.textAt, row.textLength);
    const OpenText *text = openText(row);
    return text ? text->command : QByteArray();
}

QByteArray LiveInspector::errorText(const TxnRow &row) const
{
    if (row.outcome != TxnOutcome::Open)
        return ringText(row.textAt + row.textLength, row.errorLength);
    const OpenText *text = openText(row);
    return text ? text->error : QByteArray();
}

QVector<LogLineFinding> LiveInspector::findingsAtLogLine(int logLine) const
{
    QVector<LogLineFinding> out;
    if (logLine < 0)
        return out;
    for (auto it = byLogLine_.constFind(logLine); it != byLogLine_.cend() && it.key() == logLine; ++it) {
        const FindingRow &f = findingRow(it.value());
        out.append({f.finding.severity, f.finding.rule,
                    QLatin1String(check::RuleId(f.finding.rule)) + QStringLiteral(": ") + f.finding.text
                        + (f.own ? QStringLiteral(" (a line of this program's own)") : QString())});
    }
    std::reverse(out.begin(), out.end()); // oldest first
    return out;
}

bool LiveInspector::worstAtLogLine(int logLine, check::Severity *worst) const
{
    bool any = false;
    for (auto it = byLogLine_.constFind(logLine); it != byLogLine_.cend() && it.key() == logLine; ++it) {
        const check::Severity s = findingRow(it.value()).finding.severity;
        if (!any || s > *worst)
            *worst = s;
        any = true;
    }
    return any;
}

} // namespace inspect
