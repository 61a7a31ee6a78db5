#include "replay/recording.h"

using namespace check;

namespace replay {

qint64 RecordedTxn::offsetOf(char type) const
{
    for (const RecordedLine &l : replies)
        if (l.type() == type)
            return l.offsetUs;
    return -1;
}

DeviceSource::DeviceSource(std::unique_ptr<QIODevice> device) : dev(std::move(device)) { }

DeviceSource::~DeviceSource() = default;

bool DeviceSource::open(TrafficSink &sink, QString *error)
{
    if (!dev->isOpen() && !dev->open(QIODevice::ReadOnly)) {
        *error = dev->errorString();
        return false;
    }
    scanner = std::make_unique<LogScanner>(sink);
    chunk = QByteArray(LogReader::ChunkSize, Qt::Uninitialized);
    qint64 got = dev->read(chunk.data(), LogReader::HeadSize);
    if (got < 0) {
        fail();
        ended = true;
        *error = scanner->result().error;
        return false;
    }
    // Fill the head completely when the device delivers in smaller pieces.
    while (got < LogReader::HeadSize) {
        const qint64 more = dev->read(chunk.data() + got, LogReader::HeadSize - got);
        if (more <= 0)
            break;
        got += more;
    }
    if (!scanner->begin(QByteArrayView(chunk.constData(), got))) {
        ended = true;
        const ReadResult &r = scanner->result();
        *error = r.format == LogFormat::Empty ? QStringLiteral("empty, no traffic") : r.error;
        return false;
    }
    // The head is scanned by the first next(), like every later chunk.
    filled = got;
    return true;
}

void DeviceSource::fail()
{
    scanner->result().readError = true;
    scanner->result().error = dev->errorString();
}

bool DeviceSource::next()
{
    if (!scanner || ended)
        return false;
    scanner->feed(QByteArrayView(chunk.constData(), filled));
    filled = dev->read(chunk.data(), chunk.size());
    if (filled < 0)
        fail();
    if (filled < 0 || (filled == 0 && (dev->atEnd() || !dev->waitForReadyRead(-1)))) {
        filled = 0;
        ended = true;
        scanner->end();
        return false;
    }
    return true;
}

QString DeviceSource::problem() const
{
    if (!scanner)
        return QString();
    const ReadResult &r = scanner->result();
    if (r.readError)
        return QStringLiteral("cannot read: ") + r.error;
    if (r.truncated)
        return QStringLiteral("truncated: the last line (%1) has no line end").arg(r.lines);
    return QString();
}

qint64 DeviceSource::cutLine() const
{
    return scanner && ended && scanner->result().truncated ? scanner->result().lines : -1;
}

LogFileSource::LogFileSource(const QString &path) : DeviceSource(std::make_unique<QFile>(path)) { }

LinesSource::LinesSource(std::function<QByteArray(qint64)> line, qint64 n) : lineAt(std::move(line)), count(n)
{ }

LinesSource::~LinesSource() = default;

QByteArray LinesSource::piece(qsizetype bytes)
{
    QByteArray out;
    while (nextLine < count && out.size() < bytes) {
        out += lineAt(nextLine++);
        out += "\r\n";
    }
    return out;
}

bool LinesSource::open(TrafficSink &sink, QString *error)
{
    scanner = std::make_unique<LogScanner>(sink);
    head = piece(LogReader::HeadSize);
    if (!scanner->begin(QByteArrayView(head).first(qMin(head.size(), LogReader::HeadSize)))) {
        ended = true;
        const ReadResult &r = scanner->result();
        *error = r.format == LogFormat::Empty ? QStringLiteral("empty, no traffic") : r.error;
        return false;
    }
    return true;
}

bool LinesSource::next()
{
    if (!scanner || ended)
        return false;
    if (!head.isEmpty()) {
        scanner->feed(head);
        head.clear();
        return true;
    }
    const QByteArray more = piece(LogReader::ChunkSize);
    if (more.isEmpty()) {
        ended = true;
        scanner->end();
        return false;
    }
    scanner->feed(more);
    return true;
}

Recording::Recording(std::unique_ptr<RecordingSource> src, LegChoice leg)
    : source(std::move(src)), choice(leg)
{
    if (leg != LegChoice::Auto) {
        chosen = leg == LegChoice::Relay ? Leg::Relay : Leg::Operator;
        decided = true;
    }
}

Recording::~Recording() = default;

bool Recording::open(QString *error)
{
    if (!source->open(*this, error)) {
        if (error->isEmpty())
            *error = QStringLiteral("no traffic");
        return false;
    }
    // The first piece tells which leg holds the commands.
    while (!decided && readMore()) {
        if (legs[0].commands + legs[1].commands > 0)
            choose();
    }
    if (!decided)
        choose();
    if (at(0) == nullptr) {
        const QString problem = source->problem();
        *error = !problem.isEmpty() ? problem
            : legs[int(chosen)].commands == 0
            ? QStringLiteral("no command on the %1 leg").arg(QLatin1String(LegName(chosen)))
            : QStringLiteral("no transaction");
        return false;
    }
    return true;
}

void Recording::choose()
{
    if (!decided) {
        // The relay client's leg when it has commands: that is what a tap records.
        chosen = legs[int(Leg::Relay)].commands > 0 ? Leg::Relay : Leg::Operator;
        decided = true;
    }
    LegData &other = legs[chosen == Leg::Relay ? 0 : 1];
    other.txns.clear();
    other.open.clear();
    other.daemons.clear();
}

bool Recording::readMore()
{
    if (ended)
        return false;
    if (!source->next())
        finish();
    return !ended;
}

RecordedTxn *Recording::find(LegData &d, qint64 index)
{
    const qint64 at = index - base;
    return at >= 0 && at < qint64(d.txns.size()) ? &d.txns[size_t(at)] : nullptr;
}

bool Recording::ready(qint64 i) const
{
    const std::deque<RecordedTxn> &w = legs[int(chosen)].txns;
    const qint64 at = i - base;
    if (at < 0 || at >= qint64(w.size()))
        return false;
    if (ended)
        return true;
    // Its events end where the next command begins.
    const RecordedTxn &t = w[size_t(at)];
    return (t.complete || t.cut) && at + 1 < qint64(w.size());
}

const RecordedTxn *Recording::at(qint64 i)
{
    if (i < base)
        return nullptr;
    while (!ready(i) && readMore()) { }
    return ready(i) ? &legs[int(chosen)].txns[size_t(i - base)] : nullptr;
}

void Recording::release(qint64 i)
{
    std::deque<RecordedTxn> &w = legs[int(chosen)].txns;
    while (base < i && !w.empty()) {
        w.pop_front();
        ++base;
    }
}

void Recording::connectionReset(Leg leg, qint64, StreamStart)
{
    // What was open is cut off: its transactions are as complete as they get.
    for (Leg l : {leg, Leg::Relay}) {
        LegData &d = legs[int(l)];
        for (qint64 index : std::as_const(d.open))
            if (RecordedTxn *t = find(d, index))
                t->cut = true;
    }
    legs[int(leg)].open.clear();
    legs[int(leg)].daemons.clear();
    if (leg == Leg::Operator) {
        // The relay leg shares the server's connection.
        legs[int(Leg::Relay)].open.clear();
        legs[int(Leg::Relay)].daemons.clear();
    }
}

void Recording::traffic(Leg leg, Direction dir, qint64 timeUs, QByteArrayView text, qint64, qint64 position,
                        LineEnd)
{
    if (decided && leg != chosen)
        return;
    LegData &d = legs[int(leg)];
    while (!text.isEmpty() && text.back() == '\r')
        text.chop(1);
    if (text.isEmpty())
        return;
    const quint32 key = text.size() >= 5 ? TagKey(text.first(5)) : 0;
    if (dir == Direction::ToServer) {
        if (key == 0 || text.size() < 6 || text[5] != ' ') {
            ++unrecognisedCount;
            return;
        }
        RecordedTxn t;
        t.index = base + qint64(d.txns.size());
        if (tags.size() <= key)
            tags.resize(key + 1);
        QByteArray &tag = tags[key];
        if (tag.isEmpty())
            tag = text.first(5).toByteArray();
        t.tag = tag;
        t.command = text.sliced(6).toByteArray();
        t.normalised = Normalise(t.command);
        t.replies.reserve(4); // '&', a data line or an error, '%'; in one allocation
        t.timeUs = timeUs;
        t.fileLine = position;
        // A tag used again ends the earlier transaction as it stands.
        if (RecordedTxn *earlier = find(d, d.open.value(key, -1)))
            earlier->cut = true;
        d.open.insert(key, t.index);
        d.daemons.remove(key);
        d.txns.push_back(std::move(t));
        ++d.commands;
        return;
    }
    if (key == 0 || text.size() < 7 || text[5] != ' ') {
        ++unrecognisedCount;
        return;
    }
    auto offsetFrom = [timeUs](qint64 t) { return timeUs >= 0 && t >= 0 ? qMax<qint64>(0, timeUs - t) : -1; };
    const auto open = d.open.constFind(key);
    if (open != d.open.constEnd() && key != EventKeyBase) {
        RecordedTxn *t = find(d, open.value());
        if (!t)
            return;
        const QByteArrayView body = text.sliced(5);
        t->replies.push_back({body == ackBody        ? ackBody
                                  : body == doneBody ? doneBody
                                                     : body.toByteArray(),
                              offsetFrom(t->timeUs), position});
        if (text[6] == '%') {
            t->complete = true;
            if (t->eventTag())
                d.daemons.insert(key, t->index);
            d.open.erase(open);
        }
        return;
    }
    const qint64 daemon = key == EventKeyBase ? -1 : d.daemons.value(key, -2);
    if (key != EventKeyBase && daemon == -2) {
        // A reply to a tag the recording never sent.
        ++orphanCount;
        if (orphanAt.size() < 5)
            orphanAt.append(position);
        return;
    }
    if (d.txns.empty()) {
        ++unrecognisedCount;
        return;
    }
    RecordedTxn &last = d.txns.back();
    last.events.push_back({text.toByteArray(), offsetFrom(last.timeUs), daemon, position});
}

void Recording::finish()
{
    ended = true;
    const qint64 position = source->cutLine();
    if (position < 0)
        return;
    // A line cut off mid-way is neither sent nor answered.
    std::deque<RecordedTxn> &w = legs[int(chosen)].txns;
    if (w.empty())
        return;
    if (w.back().fileLine == position) {
        w.pop_back();
        return;
    }
    for (RecordedTxn &t : w) {
        if (!t.replies.empty() && t.replies.back().fileLine == position) {
            t.replies.pop_back();
            t.complete = false;
        }
        if (!t.events.empty() && t.events.back().fileLine == position)
            t.events.pop_back();
    }
}

} // namespace replay
