#include "replay/serverreplay.h"

#include "link/traffic.h"
#include "replay/match.h"

namespace replay {

ServerReplay::ServerReplay(Recording &recording, const ServeOptions &options, QObject *parent)
    : QObject(parent), rec(recording), opt(options), result(DiffOptions{options.tolerance})
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] { pump(); });
}

qint64 ServerReplay::scaled(qint64 offsetUs) const
{
    if (opt.speed <= 0 || offsetUs <= 0)
        return 0;
    return qint64(double(offsetUs) / opt.speed);
}

qint64 ServerReplay::match(QByteArrayView normalised)
{
    if (opt.match == MatchMode::Strict) {
        const RecordedTxn *t = rec.at(next);
        return t && SameText(t->normalised, normalised, opt.tolerance) ? next : -1;
    }
    // The first unused one with the same text, within the look-ahead.
    for (qint64 i = next; i < next + Recording::LookAhead; ++i) {
        const RecordedTxn *t = rec.at(i);
        if (!t)
            return -1;
        const size_t u = size_t(i - next);
        if ((u >= used.size() || !used[u]) && SameText(t->normalised, normalised, opt.tolerance))
            return i;
    }
    return -1;
}

void ServerReplay::clientLine(const QByteArray &raw, qint64 position)
{
    if (closed)
        return;
    QByteArray line = raw;
    while (line.endsWith('\r'))
        line.chop(1);
    if (line.trimmed().isEmpty())
        return;
    const bool tagged =
        line.size() >= 6 && check::TagKey(QByteArrayView(line).first(5)) != 0 && line[5] == ' ';
    if (!tagged) {
        // No command: the checker says what is wrong with it; nothing is answered.
        DiffEntry e;
        e.kind = EntryKind::Extra;
        e.replayedCommand = line.left(200);
        e.replayedPosition = position;
        e.note = "not a tagged command";
        result.add(std::move(e));
        return;
    }
    const QByteArray tag = line.left(5);
    const QByteArray command = line.mid(6);
    const QByteArray normalised = Normalise(command);
    const qint64 i = match(normalised);
    if (i < 0) {
        miss(line, tag, command, position);
        return;
    }
    const RecordedTxn &t = *rec.at(i);
    DiffEntry e;
    e.recordedIndex = i;
    e.fileLine = t.fileLine;
    e.recordedCommand = t.tag + ' ' + t.command;
    e.replayedCommand = line;
    e.replayedPosition = position;
    if (t.eventTag())
        daemonTags.insert(i, tag);
    answer(t, tag);
    if (!t.complete)
        e.note = "the recording has no '%' for it";
    result.add(std::move(e));
    ++answered;
    if (opt.match == MatchMode::Strict) {
        ++next;
    } else {
        const size_t u = size_t(i - next);
        if (used.size() <= u)
            used.resize(u + 1, 0);
        used[u] = 1;
        while (!used.empty() && used.front()) {
            used.erase(used.begin());
            ++next;
        }
    }
    // Event commands keep their transaction for the daemon's reports.
    qint64 keep = next;
    for (auto it = daemonTags.cbegin(); it != daemonTags.cend(); ++it)
        keep = qMin(keep, it.key());
    rec.release(keep);
    Q_EMIT progress(answered, rec.atEnd() ? rec.known() : -1);
}

void ServerReplay::answer(const RecordedTxn &t, const QByteArray &tag)
{
    FaultPlan p;
    p.tag = tag;
    for (const RecordedLine &l : t.replies)
        p.lines.push_back({tag + l.body, scaled(l.offsetUs)});
    for (const RecordedEvent &ev : t.events) {
        QByteArray line = ev.line;
        if (ev.daemonOf >= 0) {
            const QByteArray client = daemonTags.value(ev.daemonOf);
            if (client.isEmpty())
                continue; // the client never set that daemon up
            line.replace(0, 5, client);
        }
        p.events.push_back({line, scaled(ev.offsetUs)});
    }
    plan(p, t.command, t.eventTag());
}

void ServerReplay::miss(const QByteArray &line, const QByteArray &tag, const QByteArray &command,
                        qint64 position)
{
    ++missCount;
    DiffEntry e;
    e.kind = EntryKind::Extra;
    e.replayedCommand = line;
    e.replayedPosition = position;
    e.note = "not in the recording";
    result.add(std::move(e));
    Q_EMIT missed(line);
    FaultPlan p;
    p.tag = tag;
    switch (opt.onMiss) {
    case MissRule::Close:
        p.close = true;
        break;
    case MissRule::Ack:
        p.lines = {{tag + " &", 0}, {tag + " %", 0}};
        break;
    case MissRule::Error:
        p.lines = {{tag + " &", 0},
                   {tag + " ! Error(3, 0501, " + MethodName(command) + ", \"Unsupported command\")", 0},
                   {tag + " %", 0}};
        break;
    }
    plan(p, command, tag.startsWith('E'));
}

void ServerReplay::plan(FaultPlan &p, QByteArrayView command, bool eventTag)
{
    if (faults)
        faults->apply(command, p);
    if (p.close) {
        closed = true;
        timer.stop();
        if (closeClient)
            closeClient();
        return;
    }
    const qint64 now = TrafficClockUs();
    Answer a;
    a.eventTag = eventTag;
    qint64 last = now;
    for (const PlannedLine &l : p.lines) {
        last = qMax(last, now + l.delayUs);
        a.lines.push_back({l.line, last, l.line.size() >= 7 ? l.line[6] : '\0'});
    }
    for (const PlannedLine &l : p.events)
        events.push_back({l.line, now + l.delayUs, '#'});
    if (!a.lines.empty())
        answers.push_back(std::move(a));
    pump();
}

// Sends what is due, in the protocol's order: within a transaction its own
// order ('&' first, '%' last), and no data of a later command before an
// earlier command's '%' (event commands run beside the others).
void ServerReplay::pump()
{
    if (closed || !writeLine)
        return;
    const qint64 now = TrafficClockUs();
    qint64 wake = -1;
    auto wakeAt = [&wake](qint64 t) { wake = wake < 0 ? t : qMin(wake, t); };
    for (size_t k = 0; k < events.size();) {
        if (events[k].dueUs <= now) {
            writeLine(events[k].line);
            events.erase(events.begin() + qsizetype(k));
        } else {
            wakeAt(events[k++].dueUs);
        }
    }
    bool earlierOpen = false;
    for (Answer &a : answers) {
        while (!a.lines.empty()) {
            const Out &o = a.lines.front();
            if (o.type != '&' && !a.eventTag && earlierOpen)
                break;
            if (o.dueUs > now) {
                wakeAt(o.dueUs);
                break;
            }
            writeLine(o.line);
            a.lines.pop_front();
        }
        if (!a.lines.empty() && !a.eventTag)
            earlierOpen = true;
    }
    while (!answers.empty() && answers.front().lines.empty())
        answers.pop_front();
    if (wake >= 0)
        timer.start(int(qMax<qint64>(0, (wake - now + 999) / 1000)));
}

void ServerReplay::finish()
{
    closed = true;
    timer.stop();
    // What the recording holds and the client never sent.
    for (qint64 i = next;; ++i) {
        const RecordedTxn *t = rec.at(i);
        if (!t)
            break;
        const size_t u = size_t(i - next);
        if (u < used.size() && used[u])
            continue;
        DiffEntry e;
        e.kind = EntryKind::Missing;
        e.recordedIndex = i;
        e.fileLine = t->fileLine;
        e.recordedCommand = t->tag + ' ' + t->command;
        e.note = "not sent by the client";
        result.add(std::move(e));
        if (i - next > Recording::LookAhead)
            rec.release(i - Recording::LookAhead);
    }
    Q_EMIT progress(answered, rec.known());
}

} // namespace replay
