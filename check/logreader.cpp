#include "check/logreader.h"

#include "check/markers.h"

#include <cstring>
#include <memory>

namespace check {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

QByteArrayView StripCr(QByteArrayView v)
{
    while (!v.isEmpty() && v.back() == '\r')
        v.chop(1);
    return v;
}

// "hh.nn.ss:zzz  " (the separator before the milliseconds follows the locale).
bool TorvaneStamp(QByteArrayView v, qint64 *us)
{
    if (v.size() < 14)
        return false;
    const char *p = v.data();
    if (!(IsDigit(p[0]) && IsDigit(p[1]) && p[2] == '.' && IsDigit(p[3]) && IsDigit(p[4]) && p[5] == '.'
          && IsDigit(p[6]) && IsDigit(p[7]) && !IsDigit(p[8]) && IsDigit(p[9]) && IsDigit(p[10])
          && IsDigit(p[11]) && p[12] == ' ' && p[13] == ' '))
        return false;
    const int h = (p[0] - '0') * 10 + (p[1] - '0');
    const int m = (p[3] - '0') * 10 + (p[4] - '0');
    const int s = (p[6] - '0') * 10 + (p[7] - '0');
    const int ms = (p[9] - '0') * 100 + (p[10] - '0') * 10 + (p[11] - '0');
    *us = ((qint64(h) * 60 + m) * 60 + s) * 1000000 + qint64(ms) * 1000;
    return true;
}

// "mm:dd:yy_hh:mm:ss " as the NIST suite writes it.
bool NistStamp(QByteArrayView v, qint64 *us)
{
    if (v.size() < 18)
        return false;
    const char *p = v.data();
    for (int i : {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16})
        if (!IsDigit(p[i]))
            return false;
    if (p[2] != ':' || p[5] != ':' || p[8] != '_' || p[11] != ':' || p[14] != ':' || p[17] != ' ')
        return false;
    const int h = (p[9] - '0') * 10 + (p[10] - '0');
    const int m = (p[12] - '0') * 10 + (p[13] - '0');
    const int s = (p[15] - '0') * 10 + (p[16] - '0');
    *us = ((qint64(h) * 60 + m) * 60 + s) * 1000000;
    return true;
}

struct Marker {
    QLatin1String text;
    Leg leg;
    Direction dir;
    bool skip; // a copy of a line already logged (the rewritten command)
};

const Marker Markers[] = {
    {LogMarker::Operator, Leg::Operator, Direction::ToServer, false},
    {LogMarker::Server, Leg::Operator, Direction::FromServer, false},
    {LogMarker::ToRelay, Leg::Relay, Direction::FromServer, false},
    {LogMarker::Faked, Leg::Relay, Direction::FromServer, false},
    {LogMarker::FromRelay, Leg::Relay, Direction::ToServer, false},
    {LogMarker::FakedReply, Leg::Relay, Direction::FromServer, false},
    {LogMarker::Rewritten, Leg::Operator, Direction::ToServer, true},
};

const Marker *MarkerAt(QByteArrayView v)
{
    for (const Marker &m : Markers) {
        const QByteArrayView t(m.text.data(), m.text.size());
        if (v.startsWith(t))
            return &m;
    }
    return nullptr;
}

bool StartsWith(QByteArrayView v, const char *s)
{
    return v.startsWith(QByteArrayView(s));
}

enum class NistDir { None, Sent, ReceivedUpper, ReceivedLower };

NistDir NistKeyword(QByteArrayView rest, qsizetype *skip)
{
    if (StartsWith(rest, "Sent: ")) {
        *skip = 6;
        return NistDir::Sent;
    }
    if (StartsWith(rest, "Received: ")) {
        *skip = 10;
        return NistDir::ReceivedUpper;
    }
    if (StartsWith(rest, "received: ")) {
        *skip = 10;
        return NistDir::ReceivedLower;
    }
    return NistDir::None;
}

bool LooksLikeReply(QByteArrayView v)
{
    return v.size() >= 7 && v[5] == ' ' && (v[6] == '&' || v[6] == '#' || v[6] == '!' || v[6] == '%')
        && (v.size() == 7 || v[7] == ' ');
}

bool IsTorvaneLine(QByteArrayView v)
{
    qint64 t;
    if (StartsWith(v, "---------- "))
        return true;
    if (TorvaneStamp(v, &t))
        v = v.sliced(14);
    return MarkerAt(v) != nullptr;
}

bool IsTranscriptLine(QByteArrayView v)
{
    return StartsWith(v, "C:") || StartsWith(v, "S:");
}

class Parser {
public:
    Parser(TrafficSink &c, ReadResult &r, bool recordedEnds) : checker(c), result(r), recorded(recordedEnds)
    { }

    // One file line without its LF; `fullLength` counts what was cut off,
    // `endsInCr` says whether the whole line's last byte is a CR (the kept
    // start of a long line does not show it).
    void line(QByteArrayView rec, qint64 fullLength, qint64 no, bool hasLf, bool endsInCr)
    {
        if (result.format == LogFormat::Transcript && recorded) {
            transcriptRecorded(rec, fullLength, no, hasLf, endsInCr);
            return;
        }
        qint64 cut = fullLength - rec.size();
        if (cut > 0 && endsInCr)
            --cut;
        rec = StripCr(rec);
        dispatch(rec, rec.size() + cut, no, LineEnd::Unknown);
    }

    void flush()
    {
        if (havePending) {
            havePending = false;
            dispatch(pending, pendingLength, pendingNo, pendingLf ? LineEnd::Lf : LineEnd::Missing);
        }
    }

private:
    void transcriptRecorded(QByteArrayView rec, qint64 fullLength, qint64 no, bool hasLf, bool endsInCr)
    {
        bool leadingCr = !rec.isEmpty() && rec.front() == '\r';
        if (havePending) {
            havePending = false;
            dispatch(pending, pendingLength, pendingNo, leadingCr ? LineEnd::LfCr : LineEnd::Lf);
            if (leadingCr) {
                rec = rec.sliced(1);
                --fullLength;
            }
        }
        if (rec.isEmpty() && !hasLf)
            return;
        if (endsInCr && hasLf && fullLength > 0) {
            if (rec.size() == fullLength)
                rec.chop(1);
            dispatch(rec, fullLength - 1, no, LineEnd::CrLf);
            return;
        }
        pending = QByteArray(rec.data(), rec.size());
        pendingLength = fullLength;
        pendingNo = no;
        pendingLf = hasLf;
        havePending = true;
    }

    qint64 unwrap(qint64 t)
    {
        // A log that runs past midnight: keep the times rising.
        if (t < 0)
            return t;
        t += dayOffset;
        if (lastTime >= 0 && t < lastTime - 12LL * 3600 * 1000000) {
            dayOffset += 24LL * 3600 * 1000000;
            t += 24LL * 3600 * 1000000;
        }
        lastTime = t;
        return t;
    }

    void dispatch(QByteArrayView rec, qint64 fullLength, qint64 no, LineEnd end)
    {
        const qint64 cut = fullLength - rec.size();
        switch (result.format) {
        case LogFormat::Torvane: {
            if (rec.isEmpty())
                return;
            if (StartsWith(rec, "---------- ")) {
                if (StartsWith(rec, "---------- Connected") || StartsWith(rec, "---------- Disconnected"))
                    checker.connectionReset(Leg::Operator, no, StreamStart::Connection);
                else if (StartsWith(rec, "---------- Client "))
                    checker.connectionReset(Leg::Relay, no, StreamStart::Connection);
                return;
            }
            qint64 t = -1;
            if (TorvaneStamp(rec, &t))
                rec = rec.sliced(14);
            const Marker *m = MarkerAt(rec);
            if (!m) {
                ++result.unrecognised;
                return;
            }
            rec = rec.sliced(m->text.size());
            if (m->skip || (m->dir == Direction::ToServer && rec == "---------- timeout"))
                return;
            ++result.traffic;
            checker.line(m->leg, m->dir, unwrap(t), rec, rec.size() + cut, no, end);
            return;
        }
        case LogFormat::NistClient:
        case LogFormat::NistServer: {
            if (rec.isEmpty())
                return;
            qint64 t = -1;
            if (!NistStamp(rec, &t)) {
                ++result.unrecognised;
                return;
            }
            qsizetype skip = 0;
            const NistDir d = NistKeyword(rec.sliced(18), &skip);
            if (d == NistDir::None)
                return; // the suite's own remarks ("Final Tag", "Parser: ...")
            rec = rec.sliced(18 + skip);
            Direction dir;
            if (d == NistDir::ReceivedUpper)
                dir = Direction::FromServer;
            else if (d == NistDir::ReceivedLower)
                dir = Direction::ToServer;
            else
                dir = result.format == LogFormat::NistClient ? Direction::ToServer : Direction::FromServer;
            ++result.traffic;
            checker.line(Leg::Operator, dir, unwrap(t), rec, rec.size() + cut, no, end);
            return;
        }
        case LogFormat::Transcript: {
            if (rec.isEmpty() || rec.front() == ';')
                return;
            if (!IsTranscriptLine(rec)) {
                ++result.unrecognised;
                return;
            }
            const Direction dir = rec.front() == 'C' ? Direction::ToServer : Direction::FromServer;
            qsizetype skip = 2;
            if (rec.size() > 2 && rec[2] == ' ')
                skip = 3;
            rec = rec.sliced(skip);
            ++result.traffic;
            checker.line(Leg::Operator, dir, -1, rec, rec.size() + cut, no, end);
            return;
        }
        default:
            return;
        }
    }

    TrafficSink &checker;
    ReadResult &result;
    bool recorded;
    QByteArray pending;
    qint64 pendingLength = 0, pendingNo = 0;
    bool pendingLf = false, havePending = false;
    qint64 lastTime = -1, dayOffset = 0;
};

} // namespace

const char *FormatName(LogFormat f)
{
    switch (f) {
    case LogFormat::Unknown:
        return "unknown";
    case LogFormat::Empty:
        return "empty";
    case LogFormat::Binary:
        return "binary";
    case LogFormat::Torvane:
        return "torvane";
    case LogFormat::NistClient:
        return "nist-client";
    case LogFormat::NistServer:
        return "nist-server";
    case LogFormat::Transcript:
        return "transcript";
    }
    return "unknown";
}

LogFormat DetectFormat(QByteArrayView head)
{
    if (head.trimmed().isEmpty())
        return LogFormat::Empty;
    qsizetype odd = 0;
    for (char ch : head) {
        const uchar c = uchar(ch);
        if (c < 32 && c != '\r' && c != '\n' && c != '\t')
            ++odd;
    }
    // Control bytes that a peer sent inside a log's lines keep it a log; a
    // file that is mostly such bytes, or holds a NUL, is binary unless most
    // of its lines are log text.
    const bool binaryBytes = odd * 20 > head.size() || head.contains('\0');

    int torvane = 0, nist = 0, transcript = 0, seen = 0;
    int nistUpper = 0, nistLower = 0, sentReplies = 0, sentCommands = 0;
    qsizetype from = 0;
    while (from < head.size() && seen < 500) {
        qsizetype to = head.indexOf('\n', from);
        if (to < 0)
            to = head.size();
        QByteArrayView v = StripCr(head.sliced(from, to - from));
        while (!v.isEmpty() && v.front() == '\r')
            v = v.sliced(1);
        from = to + 1;
        if (v.isEmpty())
            continue;
        ++seen;
        qint64 t;
        if (NistStamp(v, &t)) {
            ++nist;
            qsizetype skip = 0;
            const NistDir d = NistKeyword(v.sliced(18), &skip);
            if (d == NistDir::ReceivedUpper)
                ++nistUpper;
            else if (d == NistDir::ReceivedLower)
                ++nistLower;
            else if (d == NistDir::Sent)
                ++(LooksLikeReply(v.sliced(18 + skip)) ? sentReplies : sentCommands);
        } else if (IsTorvaneLine(v)) {
            ++torvane;
        } else if (IsTranscriptLine(v)) {
            ++transcript;
        }
    }
    const int best = std::max({torvane, nist, transcript});
    if (binaryBytes && best * 2 < seen)
        return LogFormat::Binary;
    if (best == 0)
        return LogFormat::Unknown;
    if (best == nist) {
        if (nistUpper != nistLower)
            return nistUpper > nistLower ? LogFormat::NistClient : LogFormat::NistServer;
        return sentReplies > sentCommands ? LogFormat::NistServer : LogFormat::NistClient;
    }
    return best == torvane ? LogFormat::Torvane : LogFormat::Transcript;
}

namespace {

// Feeds a ProtocolChecker: the reader's original customer.
class CheckerSink : public TrafficSink {
public:
    explicit CheckerSink(ProtocolChecker &c) : checker(c) { }
    void connectionReset(Leg leg, qint64 position, StreamStart start) override
    {
        checker.connectionReset(leg, position, start);
    }
    void line(Leg leg, Direction dir, qint64 timeUs, QByteArrayView text, qint64 fullLength, qint64 position,
              LineEnd end) override
    {
        checker.feedLong(leg, dir, timeUs, text, fullLength, position, end);
    }
    void finish(qint64 position) override { checker.finish(position); }

private:
    ProtocolChecker &checker;
};

} // namespace

struct LogStream::State {
    State(QIODevice &d, TrafficSink &s, const ReadOptions &o) : device(d), sink(s), options(o) { }
    QIODevice &device;
    TrafficSink &sink;
    ReadOptions options;
    ReadResult result;
    std::unique_ptr<Parser> parser;
    QByteArray chunk;
    qint64 filled = 0;
    QByteArray cur; // a line that spans chunks (its first KeptLineLength bytes)
    qint64 curLength = 0; // its full length so far
    bool curEndsInCr = false; // its last byte so far is a CR
    qint64 lineNo = 0;
    bool opened = false, ended = false;

    void scan();
    void end();
};

LogStream::LogStream(QIODevice &device, TrafficSink &sink, const ReadOptions &options)
    : d(std::make_unique<State>(device, sink, options))
{ }

LogStream::~LogStream() = default;

const ReadResult &LogStream::result() const
{
    return d->result;
}

qint64 LogStream::linesRead() const
{
    return d->lineNo;
}

bool LogStream::open()
{
    ReadResult &result = d->result;
    QIODevice &device = d->device;
    d->opened = true;
    d->chunk = QByteArray(LogReader::ChunkSize, Qt::Uninitialized);
    QByteArray &chunk = d->chunk;
    qint64 got = device.read(chunk.data(), LogReader::HeadSize);
    if (got < 0) {
        result.readError = true;
        result.error = device.errorString();
        d->ended = true;
        return false;
    }
    // Fill the head completely when the device delivers in smaller pieces.
    while (got < LogReader::HeadSize) {
        const qint64 more = device.read(chunk.data() + got, LogReader::HeadSize - got);
        if (more <= 0)
            break;
        got += more;
    }
    const QByteArrayView head(chunk.constData(), got);
    result.format = DetectFormat(head);
    switch (result.format) {
    case LogFormat::Empty:
        d->ended = true;
        return false;
    case LogFormat::Binary:
        result.error = QStringLiteral("binary data, not a traffic log");
        d->ended = true;
        return false;
    case LogFormat::Unknown:
        result.error = QStringLiteral("not a traffic log: no Torvane, NIST or \"C:\"/\"S:\" lines found");
        d->ended = true;
        return false;
    default:
        break;
    }
    const bool recorded = result.format == LogFormat::Transcript && head.contains('\r');
    d->parser = std::make_unique<Parser>(d->sink, result, recorded);
    // NIST logs and transcripts begin at the connection; a Torvane log at its
    // connect line (the checker's legs start unknown until then).
    if (result.format != LogFormat::Torvane)
        d->sink.connectionReset(Leg::Operator, 0,
                                d->options.midSession && result.format == LogFormat::Transcript
                                    ? StreamStart::InSession
                                    : StreamStart::Connection);
    d->filled = got;
    return true;
}

bool LogStream::next()
{
    if (!d->opened && !open())
        return false;
    if (d->ended)
        return false;
    d->scan();
    ReadResult &result = d->result;
    QIODevice &device = d->device;
    d->filled = device.read(d->chunk.data(), d->chunk.size());
    if (d->filled < 0) {
        result.readError = true;
        result.error = device.errorString();
        d->end();
        return false;
    }
    if ((d->filled == 0 && device.atEnd()) || (d->filled == 0 && !device.waitForReadyRead(-1))) {
        d->end();
        return false;
    }
    return true;
}

void LogStream::State::scan()
{
    const char *base = chunk.constData();
    qsizetype pos = 0;
    while (pos < filled) {
        const void *nl = std::memchr(base + pos, '\n', size_t(filled - pos));
        const qsizetype end = nl ? qsizetype(static_cast<const char *>(nl) - base) : filled;
        const qsizetype len = end - pos;
        const bool endsInCr = len > 0 ? base[end - 1] == '\r' : curEndsInCr;
        if (nl && curLength == 0) {
            ++lineNo;
            const qsizetype keep = qMin(len, KeptLineLength);
            parser->line(QByteArrayView(base + pos, keep), len, lineNo, true, endsInCr);
        } else {
            const qsizetype room = KeptLineLength - cur.size();
            if (room > 0)
                cur.append(base + pos, qMin(len, room));
            curLength += len;
            curEndsInCr = endsInCr;
            if (nl) {
                ++lineNo;
                parser->line(cur, curLength, lineNo, true, curEndsInCr);
                cur.clear();
                curLength = 0;
                curEndsInCr = false;
            }
        }
        pos = end + 1;
    }
}

void LogStream::State::end()
{
    ended = true;
    if (curLength > 0) {
        ++lineNo;
        // A last CR after the final LF ends an LF CR line; it cuts nothing short.
        result.truncated = QByteArrayView(cur).trimmed().size() > 0 || curLength > cur.size();
        parser->line(cur, curLength, lineNo, false, curEndsInCr);
    }
    parser->flush();
    result.lines = lineNo;
    sink.finish(lineNo);
}

ReadResult LogReader::Read(QIODevice &device, TrafficSink &sink, const ReadOptions &options)
{
    LogStream stream(device, sink, options);
    while (stream.next()) { }
    return stream.result();
}

ReadResult LogReader::Read(QIODevice &device, ProtocolChecker &checker, const ReadOptions &options)
{
    CheckerSink sink(checker);
    return Read(device, sink, options);
}

} // namespace check
