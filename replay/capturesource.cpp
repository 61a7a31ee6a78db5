#include "replay/capturesource.h"

#include <QFile>

using namespace check;

namespace replay {

CaptureSource::CaptureSource(const QString &p, const CaptureChoice &c) : path(p), choice(c) { }

CaptureSource::~CaptureSource()
{
    if (reader && reading)
        reader->close();
}

bool CaptureSource::open(TrafficSink &sink, QString *error)
{
    into = &sink;
    capture::ReaderOptions ro;
    ro.ports = choice.ports;
    ro.onlySession = choice.session;
    reader = std::make_unique<capture::CaptureReader>(ro);
    reader->setLineHandler([this](const capture::Line &l) {
        into->traffic(Leg::Operator,
                      l.side == capture::Side::Client ? Direction::ToServer : Direction::FromServer, l.timeUs,
                      l.bytes, l.fullLength, l.frame, l.end);
    });
    reader->setEventHandler([this](const capture::Event &e) {
        if (e.kind == capture::EventKind::SessionStart)
            into->connectionReset(Leg::Operator, e.frame,
                                  e.session && e.session->opened ? StreamStart::Connection
                                                                 : StreamStart::Unknown);
        else if (e.kind == capture::EventKind::SessionEnd)
            into->connectionReset(Leg::Operator, e.frame);
    });
    if (!reader->open(path)) {
        const capture::ReadResult r = reader->close();
        *error = QStringLiteral("not a readable capture: ") + r.error;
        return false;
    }
    reading = true;
    return true;
}

bool CaptureSource::next()
{
    if (!reading)
        return false;
    if (reader->readSome(FramesPerPiece))
        return true;
    ended();
    return false;
}

void CaptureSource::ended()
{
    reading = false;
    const capture::ReadResult r = reader->close();
    if (!r.linkSupported)
        trouble = r.error;
    else if (r.truncated)
        trouble = QStringLiteral("truncated: the capture ends inside a packet after frame %1").arg(r.frames);
    else if (!r.error.isEmpty())
        trouble = QStringLiteral("cannot read: ") + r.error;
    else if (r.sessions < choice.session)
        trouble = r.sessions == 0
            ? QStringLiteral("no I++ DME traffic found (%1 frames)").arg(r.frames)
            : QStringLiteral("no session %1 (the capture holds %2)").arg(choice.session).arg(r.sessions);
}

std::unique_ptr<RecordingSource> SourceForFile(const QString &path, const CaptureChoice &choice)
{
    QFile f(path);
    if (f.open(QIODevice::ReadOnly) && capture::LooksLikeCapture(f.peek(4)))
        return std::make_unique<CaptureSource>(path, choice);
    return std::make_unique<LogFileSource>(path);
}

} // namespace replay
