#include "inspect/offline.h"

#include "capture/capturereader.h"
#include "check/logreader.h"
#include "inspect/liveinspector.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <climits>

namespace inspect {

namespace {

// A log's lines into the inspector, with the log's times. A line's place in
// the file stands where a live line has its traffic-log line.
class InspectorSink : public check::TrafficSink {
public:
    explicit InspectorSink(LiveInspector *i) : ins(i) { }
    void traffic(check::Leg leg, check::Direction dir, qint64 timeUs, QByteArrayView line, qint64,
                 qint64 lineNo, check::LineEnd end) override
    {
        ins->setFileTime(timeUs);
        ins->feed(leg, dir, line, false, FileLine(lineNo), end);
    }
    void connectionReset(check::Leg leg, qint64 lineNo, check::StreamStart start) override
    {
        ins->connectionReset(leg, FileLine(lineNo), start);
    }
    static int FileLine(qint64 no) { return no > 0 && no <= INT_MAX ? int(no - 1) : -1; }

private:
    LiveInspector *ins;
};

} // namespace

struct OfflineReader::State {
    explicit State(LiveInspector *i) : ins(i), sink(i), scanner(sink) { }
    LiveInspector *ins;
    QString path;
    qint64 size = 0, done = 0;
    bool running = false;
    QString error;
    // A log.
    InspectorSink sink;
    check::LogScanner scanner;
    QFile file;
    QByteArray buffer;
    // A capture: one conversation at a time, the first to start; one that
    // starts while it runs is left out.
    std::unique_ptr<capture::CaptureReader> capture;
    int session = 0;
    qint64 sessions = 0, skipped = 0;
    capture::ReadResult captureResult;
};

OfflineReader::OfflineReader(LiveInspector *target, QObject *parent)
    : QObject(parent), d(std::make_unique<State>(target)), timer(new QTimer(this))
{
    timer->setInterval(0);
    connect(timer, &QTimer::timeout, this, &OfflineReader::slice);
    // A file is read at once, not in real time: its findings are all listed.
    target->setFloodLimit(0);
}

OfflineReader::~OfflineReader() = default;

bool OfflineReader::running() const
{
    return d->running;
}

qint64 OfflineReader::done() const
{
    return d->done;
}

qint64 OfflineReader::total() const
{
    return d->size;
}

QString OfflineReader::error() const
{
    return d->error;
}

bool OfflineReader::start(const QString &path)
{
    State &s = *d;
    s.path = path;
    s.file.setFileName(path);
    if (!s.file.open(QIODevice::ReadOnly)) {
        s.error = QStringLiteral("It could not be opened: %1").arg(s.file.errorString());
        return false;
    }
    s.size = s.file.size();
    const QByteArray head = s.file.read(check::LogReader::HeadSize);
    if (capture::LooksLikeCapture(head)) {
        s.file.close();
        s.capture = std::make_unique<capture::CaptureReader>();
        s.capture->setLineHandler([this](const capture::Line &l) {
            if (l.session != d->session || (l.fullLength == 0 && l.end != check::LineEnd::Missing))
                return;
            d->ins->setFileTime(l.timeUs);
            d->ins->feed(check::Leg::Operator,
                         l.side == capture::Side::Client ? check::Direction::ToServer
                                                         : check::Direction::FromServer,
                         l.bytes, false, InspectorSink::FileLine(l.frame), l.end);
        });
        s.capture->setEventHandler([this](const capture::Event &e) {
            State &st = *d;
            switch (e.kind) {
            case capture::EventKind::SessionStart:
                ++st.sessions;
                if (st.session != 0) {
                    ++st.skipped;
                    return;
                }
                st.session = e.session->id;
                st.ins->setFileTime(e.timeUs);
                st.ins->connectionReset(check::Leg::Operator, InspectorSink::FileLine(e.session->startFrame),
                                        e.session->opened ? check::StreamStart::Connection
                                                          : check::StreamStart::Unknown);
                return;
            case capture::EventKind::SessionEnd:
                if (e.session->id != st.session)
                    return;
                st.session = 0;
                st.ins->connectionReset(check::Leg::Operator, InspectorSink::FileLine(e.frame));
                return;
            case capture::EventKind::Gap:
            case capture::EventKind::Differs: {
                if (e.session->id != st.session)
                    return;
                const QLatin1String who(e.side == capture::Side::Client ? "client" : "server");
                const QString text = e.kind == capture::EventKind::Gap
                    ? QStringLiteral("%1 bytes from the %2 missing from the capture (frame %3); taken up at "
                                     "its next line")
                          .arg(e.bytes)
                          .arg(who)
                          .arg(e.frame)
                    : QStringLiteral("a retransmitted copy from the %1 differs from the first in %2 bytes "
                                     "(frame %3); the first is kept")
                          .arg(who)
                          .arg(e.bytes)
                          .arg(e.frame);
                st.ins->reportSource(
                    check::Leg::Operator,
                    e.kind == capture::EventKind::Gap ? check::Rule::CaptureGap : check::Rule::CaptureDiff,
                    check::Severity::Warning,
                    e.side == capture::Side::Client ? check::Party::Client : check::Party::Server, text);
                return;
            }
            }
        });
        if (!s.capture->open(path)) {
            s.error =
                QStringLiteral("It is not a capture that can be read: %1").arg(s.capture->progress().error);
            s.capture.reset();
            return false;
        }
        // Capture times are wall times already.
        s.ins->useFileClock(0);
    } else {
        if (!s.scanner.begin(head)) {
            const check::ReadResult &r = s.scanner.result();
            s.error = r.format == check::LogFormat::Empty ? QStringLiteral("The file is empty.")
                                                          : QStringLiteral("It is %1.").arg(r.error);
            s.file.close();
            return false;
        }
        // Log stamps give the time of day only.
        s.ins->useFileClock(QDate::currentDate().startOfDay().toMSecsSinceEpoch());
        s.scanner.feed(head);
        s.done = head.size();
    }
    s.running = true;
    timer->start();
    return true;
}

void OfflineReader::cancel()
{
    timer->stop();
    d->running = false;
    if (d->capture)
        d->capture->close();
    d->file.close();
}

void OfflineReader::slice()
{
    State &s = *d;
    QElapsedTimer spent;
    spent.start();
    if (s.capture) {
        bool more = true;
        do
            more = s.capture->readSome(PieceFrames);
        while (more && spent.elapsed() < SliceMs);
        if (more) {
            s.done = s.capture->filePosition();
            Q_EMIT progressed(s.done, s.size);
            return;
        }
        s.done = s.size;
        s.captureResult = s.capture->close();
        const capture::ReadResult &r = s.captureResult;
        if (!r.linkSupported)
            s.error = r.error;
        else if (r.truncated)
            s.error = QStringLiteral("The capture is cut short: it ends inside a packet after frame %1.")
                          .arg(r.frames);
        else if (!r.error.isEmpty())
            s.error = r.error;
        else if (s.sessions == 0)
            s.error = QStringLiteral("No I++ DME traffic found in its %1 frames.").arg(r.frames);
        end(s.error.isEmpty());
        return;
    }
    s.buffer.resize(PieceBytes);
    qint64 got = 0, slice = 0;
    do {
        got = s.file.read(s.buffer.data(), PieceBytes);
        if (got < 0) {
            s.error = QStringLiteral("Reading it failed: %1").arg(s.file.errorString());
            end(false);
            return;
        }
        s.scanner.feed(QByteArrayView(s.buffer.constData(), got));
        s.done += got;
        slice += got;
    } while (got > 0 && !s.file.atEnd() && slice < SliceBytes && spent.elapsed() < SliceMs);
    if (got == 0 || s.file.atEnd()) {
        s.scanner.end();
        end(true);
        return;
    }
    Q_EMIT progressed(s.done, qMax(s.size, s.done));
}

void OfflineReader::end(bool ok)
{
    timer->stop();
    d->running = false;
    d->file.close();
    d->buffer = QByteArray();
    if (ok)
        d->ins->finish();
    d->ins->flush();
    Q_EMIT finished(ok);
}

QString OfflineReader::description() const
{
    const State &s = *d;
    const QString name = QFileInfo(s.path).fileName();
    if (s.capture) {
        const capture::ReadResult &r = s.captureResult;
        QString text = QStringLiteral("%1: %2 capture, %3 frames, %4 lines")
                           .arg(name, QString::fromLatin1(r.format))
                           .arg(r.frames)
                           .arg(r.lines);
        if (s.sessions > 1)
            text += QStringLiteral(", %1 conversations").arg(s.sessions);
        if (s.skipped)
            text += QStringLiteral(" (%1 that overlapped an earlier one left out)").arg(s.skipped);
        return text;
    }
    const check::ReadResult &r = s.scanner.result();
    QString text = QStringLiteral("%1: %2 log, %3 lines, %4 of traffic")
                       .arg(name, QLatin1String(check::FormatName(r.format)))
                       .arg(r.lines)
                       .arg(r.traffic);
    if (r.truncated)
        text += QStringLiteral("; its last line has no line end");
    return text;
}

} // namespace inspect
