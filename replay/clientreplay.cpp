#include "replay/clientreplay.h"

#include "link/traffic.h"
#include "replay/match.h"

using check::TagKey;

namespace replay {

ClientReplay::ClientReplay(Recording &recording, const ClientOptions &options, QObject *parent)
    : QObject(parent), rec(recording), opt(options), result(options.diff)
{
    thinkTimer.setSingleShot(true);
    stopTimer.setSingleShot(true);
    silenceTimer.setSingleShot(true);
    connect(&thinkTimer, &QTimer::timeout, this, [this] { sendNext(); });
    connect(&silenceTimer, &QTimer::timeout, this, [this] { silenceTimeout(); });
    connect(&stopTimer, &QTimer::timeout, this, [this] { stopStep(); });
}

QByteArray ClientReplay::freshTag(bool event)
{
    for (;;) {
        QByteArray t;
        if (event) {
            eventNo = eventNo % 9999 + 1;
            t = 'E' + QByteArray::number(eventNo).rightJustified(4, '0');
        } else {
            tagNo = tagNo % 99999 + 1;
            t = QByteArray::number(tagNo).rightJustified(5, '0');
        }
        if (!open.contains(TagKey(t)))
            return t;
    }
}

void ClientReplay::start()
{
    sendNext();
}

void ClientReplay::sendNext()
{
    if (done || stopState != Stop::None || paceKey != 0)
        return;
    const RecordedTxn *t = rec.at(next);
    if (!t) {
        allSent = true;
        if (open.isEmpty())
            end();
        return;
    }
    // The recorded think-time: from the previous pacing point to this command.
    if (opt.speed > 0 && paceUs >= 0 && lastPaceOffsetUs >= 0 && t->timeUs >= 0) {
        const qint64 think = qint64(double(t->timeUs - lastPaceOffsetUs) / opt.speed);
        const qint64 wait = paceUs + think - TrafficClockUs();
        if (wait > 1000 && !thinkTimer.isActive()) {
            thinkTimer.start(int(wait / 1000));
            return;
        }
    }
    settleEvents();
    Sent s;
    s.recorded = *t;
    const QByteArray tag = freshTag(t->eventTag());
    s.line = tag + ' ' + t->command;
    s.sentUs = TrafficClockUs();
    const quint32 key = TagKey(tag);
    paceKey = key;
    // A session must stand, and an abort be through, before the next command.
    const QByteArray method = MethodName(t->command);
    paceOnDone = method == "StartSession" || method == "AbortE";
    // The recorded pacing point of this command, for the next one's think-time.
    const qint64 recordedPace = t->offsetOf(paceOnDone ? '%' : '&');
    lastPaceOffsetUs = t->timeUs >= 0 && recordedPace >= 0 ? t->timeUs + recordedPace : t->timeUs;
    const QByteArray line = s.line;
    lastKey = key;
    lastRecordedEvents = t->events;
    auto it = open.insert(key, std::move(s));
    ++next;
    rec.release(next);
    writeLine(line);
    if (positionOfLast)
        it->position = positionOfLast();
    if (opt.silenceMs > 0)
        silenceTimer.start(opt.silenceMs);
}

void ClientReplay::serverLine(const QByteArray &raw)
{
    if (done)
        return;
    QByteArray line = raw;
    while (line.endsWith('\r'))
        line.chop(1);
    const quint32 key = line.size() >= 7 && line[5] == ' ' ? TagKey(QByteArrayView(line).first(5)) : 0;
    const char type = key ? line[6] : '\0';
    if (silenceTimer.isActive())
        silenceTimer.start(opt.silenceMs);
    // The stop's own commands are not in the recording; the recorded ones
    // still open are answered and compared as before.
    if (stopState != Stop::None && !stopTag.isEmpty() && line.startsWith(stopTag)) {
        if (type == '%')
            stopStep();
        return;
    }
    auto it = open.find(key);
    if (key == 0 || key == check::EventKeyBase || it == open.end()) {
        if (key == check::EventKeyBase || (key >= check::EventKeyBase && type == '#')) {
            // An event, or a daemon's report: held against the recorded
            // events after the same command.
            if (windowEvents.size() < 10000)
                windowEvents.push_back(line.mid(5));
            return;
        }
        DiffEntry e;
        e.kind = EntryKind::Extra;
        e.replayedCommand = line.left(200);
        e.note = "a server line for no open command";
        result.add(std::move(e));
        return;
    }
    Sent &s = it.value();
    const qint64 now = TrafficClockUs();
    s.replies.push_back(line.mid(5));
    if (type == '&' && s.ackUs < 0)
        s.ackUs = now - s.sentUs;
    if (type == '!' && ErrorSeverity(QByteArrayView(line).sliced(5)) >= 3 && !opt.keepGoing) {
        stop("the server reported an error of severity 3 or more: " + line);
        return;
    }
    const bool paced = key == paceKey && (type == '%' || (type == '&' && !paceOnDone));
    if (type == '%') {
        s.doneUs = now - s.sentUs;
        complete(key);
    }
    if (paced) {
        paceKey = 0;
        paceUs = now;
        sendNext();
    }
}

void ClientReplay::complete(quint32 key)
{
    Sent s = open.take(key);
    DiffEntry e;
    e.recordedIndex = s.recorded.index;
    e.fileLine = s.recorded.fileLine;
    e.recordedCommand = s.recorded.tag + ' ' + s.recorded.command;
    e.replayedCommand = s.line;
    std::vector<QByteArray> recorded;
    for (const RecordedLine &l : s.recorded.replies)
        recorded.push_back(l.body);
    e.lines = CompareReplies(recorded, s.replies, opt.diff.tolerance);
    e.recordedAckUs = s.recorded.offsetOf('&');
    e.recordedDoneUs = s.recorded.offsetOf('%');
    e.ackUs = s.ackUs;
    e.doneUs = s.doneUs;
    e.replayedPosition = s.position;
    ++completed;
    if (open.isEmpty())
        silenceTimer.stop();
    if (key == lastKey && !s.eventsSettled) {
        // Its events may still come, until the next command goes out.
        pending = std::move(e);
        havePending = true;
    } else {
        e.lines.insert(e.lines.end(), s.eventChanges.begin(), s.eventChanges.end());
        file(std::move(e));
    }
    Q_EMIT progress(completed, rec.atEnd() ? rec.known() : -1);
    if (allSent && open.isEmpty() && stopState == Stop::None)
        end();
}

void ClientReplay::file(DiffEntry e)
{
    result.add(std::move(e));
}

void ClientReplay::settleEvents()
{
    if (lastKey == 0)
        return;
    std::vector<QByteArray> recorded;
    recorded.reserve(lastRecordedEvents.size());
    for (const RecordedEvent &ev : lastRecordedEvents)
        recorded.push_back(ev.line.mid(5)); // the tag is the server's or a fresh one
    std::vector<LineChange> changes = CompareReplies(recorded, windowEvents, opt.diff.tolerance);
    windowEvents.clear();
    lastRecordedEvents.clear();
    if (havePending) {
        havePending = false;
        pending.lines.insert(pending.lines.end(), changes.begin(), changes.end());
        file(std::move(pending));
        pending = DiffEntry();
    } else if (auto it = open.find(lastKey); it != open.end()) {
        it->eventChanges = std::move(changes);
        it->eventsSettled = true;
    }
    lastKey = 0;
}

void ClientReplay::silenceTimeout()
{
    if (done || open.isEmpty())
        return;
    silent = true;
    stopReason = "the server sent nothing for " + QByteArray::number(opt.silenceMs / 1000.0) + " s";
    end();
}

void ClientReplay::stop(const QByteArray &why)
{
    if (done || stopState != Stop::None)
        return;
    stopReason = why;
    thinkTimer.stop();
    stopState = Stop::Aborting;
    sendStop("AbortE()");
}

// The next step of a stop: after AbortE the errors are cleared, then the
// session ends. A step without an answer in time is passed over.
void ClientReplay::stopStep()
{
    switch (stopState) {
    case Stop::Aborting:
        stopState = Stop::Clearing;
        sendStop("ClearAllErrors()");
        return;
    case Stop::Clearing:
        stopState = Stop::Ending;
        sendStop("EndSession()");
        return;
    default:
        end();
    }
}

void ClientReplay::sendStop(const QByteArray &command)
{
    stopTag = freshTag(stopState == Stop::Aborting);
    stopTimer.start(opt.stopWaitMs);
    writeLine(stopTag + ' ' + command);
}

void ClientReplay::serverGone()
{
    if (done)
        return;
    if (stopReason.isEmpty() && !(allSent && open.isEmpty()))
        stopReason = "the server closed the connection";
    end();
}

void ClientReplay::end()
{
    if (done)
        return;
    done = true;
    thinkTimer.stop();
    stopTimer.stop();
    silenceTimer.stop();
    settleEvents();
    // Sent and not answered, then not sent at all.
    for (auto it = open.cbegin(); it != open.cend(); ++it) {
        DiffEntry e;
        e.kind = EntryKind::Missing;
        e.recordedIndex = it->recorded.index;
        e.fileLine = it->recorded.fileLine;
        e.recordedCommand = it->recorded.tag + ' ' + it->recorded.command;
        e.replayedCommand = it->line;
        e.replayedPosition = it->position;
        e.note = "not answered";
        result.add(std::move(e));
    }
    open.clear();
    for (qint64 i = next;; ++i) {
        const RecordedTxn *t = rec.at(i);
        if (!t)
            break;
        DiffEntry e;
        e.kind = EntryKind::Missing;
        e.recordedIndex = i;
        e.fileLine = t->fileLine;
        e.recordedCommand = t->tag + ' ' + t->command;
        e.note = "not sent";
        result.add(std::move(e));
        rec.release(i);
    }
    Q_EMIT finished();
}

} // namespace replay
