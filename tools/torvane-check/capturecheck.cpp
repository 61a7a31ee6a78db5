#include "capturecheck.h"

#include "capture/capturereader.h"

#include <QDateTime>
#include <QRegularExpression>

#include <map>
#include <memory>

using namespace check;

namespace {

QByteArray TimeText(qint64 us)
{
    if (us < 0)
        return "unknown time";
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(us / 1000, Qt::UTC);
    return t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1() + '.'
        + QByteArray::number(us % 1000000).rightJustified(6, '0') + " UTC";
}

// The checker's sentences count lines; in a capture its positions are frames.
QByteArray FramesNotLines(QByteArray text)
{
    static const QRegularExpression lineNo(QStringLiteral("\\bline (\\d+)"));
    if (!text.contains("line "))
        return text;
    return QString::fromLatin1(text).replace(lineNo, QStringLiteral("frame \\1")).toLatin1();
}

struct Run {
    capture::Session info;
    std::unique_ptr<ProtocolChecker> checker;
    qint64 lines = 0;
    bool ended = false;
    bool firstFinding = true;
    QByteArray waiting; // JSON written while another session's record is open
};

class CaptureCheck {
public:
    CaptureCheck(const QString &path, const Options &opt, const CaptureOptions &copt, Output &out,
                 bool firstJson)
        : name_(path.toLocal8Bit()), opt_(opt), copt_(copt), out_(out), firstRecord_(firstJson)
    { }

    int run(const QString &path)
    {
        capture::ReaderOptions ro;
        ro.ports = copt_.ports;
        ro.onlySession = copt_.session;
        capture::CaptureReader reader(ro);
        reader.setEventHandler([this](const capture::Event &e) { event(e); });
        reader.setLineHandler([this](const capture::Line &l) { line(l); });
        const capture::ReadResult r = reader.read(path);

        QByteArray problem;
        int status = worst_;
        if (!r.opened) {
            problem = "not a readable capture: " + r.error.toLocal8Bit();
            status = 2;
        } else if (!r.linkSupported) {
            problem = r.error.toLocal8Bit();
            status = 2;
        } else if (r.truncated) {
            problem = "truncated: the capture ends inside a packet after frame "
                + QByteArray::number(r.frames) + " (" + r.error.toLocal8Bit() + ")";
            status = 2;
        }
        const bool none = copt_.session > 0 ? r.sessions < copt_.session : r.sessions == 0;
        if (opt_.json) {
            if (none || !r.opened)
                emptyRecord(r, problem, status);
        } else {
            if (status != 2 || r.opened) {
                if (none && copt_.session > 0 && r.sessions > 0)
                    out_.put(name_ + ": no session " + QByteArray::number(copt_.session)
                             + " (the capture holds " + QByteArray::number(r.sessions) + ")\n");
                else if (none && r.opened && r.linkSupported)
                    out_.put(name_ + ": no I++ DME traffic found (" + QByteArray::number(r.frames)
                             + " frames)\n");
            }
            if (!problem.isEmpty())
                std::fprintf(stderr, "%s: %s\n", name_.constData(), problem.constData());
        }
        return status;
    }

private:
    void event(const capture::Event &e)
    {
        switch (e.kind) {
        case capture::EventKind::SessionStart:
            start(*e.session);
            return;
        case capture::EventKind::SessionEnd:
            end(e.session->id, e.frame);
            return;
        case capture::EventKind::Gap:
        case capture::EventKind::Differs: {
            auto it = runs_.find(e.session->id);
            if (it == runs_.end())
                return;
            const char *who = e.side == capture::Side::Client ? "client" : "server";
            const QString text = e.kind == capture::EventKind::Gap
                ? QStringLiteral("%1 bytes from the %2 missing from the capture; taken up at its next line")
                      .arg(e.bytes)
                      .arg(QLatin1String(who))
                : QStringLiteral("a retransmitted copy from the %1 differs from the first in %2 bytes; the "
                                 "first is kept")
                      .arg(QLatin1String(who))
                      .arg(e.bytes);
            it->second.checker->reportSource(
                Leg::Operator, e.kind == capture::EventKind::Gap ? Rule::CaptureGap : Rule::CaptureDiff,
                Severity::Warning, e.side == capture::Side::Client ? Party::Client : Party::Server, e.frame,
                text);
            return;
        }
        }
    }

    void start(const capture::Session &s)
    {
        Run &run = runs_[s.id];
        run.info = s;
        run.checker = std::make_unique<ProtocolChecker>(opt_.rules);
        const int id = s.id;
        run.checker->setFindingHandler([this, id](const Finding &f) { finding(id, f); });
        run.checker->connectionReset(Leg::Operator, s.startFrame,
                                     s.opened                   ? StreamStart::Connection
                                         : opt_.read.midSession ? StreamStart::InSession
                                                                : StreamStart::Unknown);
        if (opt_.json && open_ == 0)
            openRecord(run);
    }

    void line(const capture::Line &l)
    {
        auto it = runs_.find(l.session);
        if (it == runs_.end())
            return;
        if (l.fullLength == 0 && l.end != LineEnd::Missing)
            return; // an empty line, as the log reader skips them
        ++it->second.lines;
        it->second.checker->feedLong(
            Leg::Operator, l.side == capture::Side::Client ? Direction::ToServer : Direction::FromServer,
            l.timeUs, l.bytes, l.fullLength, l.frame, l.end);
    }

    void finding(int id, const Finding &f)
    {
        qint64 &n = printed_[size_t(f.rule)];
        if (opt_.maxPerRule >= 0 && n >= opt_.maxPerRule)
            return;
        ++n;
        Run &run = runs_[id];
        const QByteArray text = FramesNotLines(f.text.toLatin1());
        if (!opt_.json) {
            // Sessions interleave: a follow-on is indented where it comes.
            const QByteArray session = id > 1 ? "[session " + QByteArray::number(id) + "] " : "";
            out_.put((f.isFollowOn() ? "    " : "") + name_ + ":frame " + QByteArray::number(f.line) + ": "
                     + SeverityName(f.severity) + ": " + RuleId(f.rule) + ": " + session + text + '\n');
            return;
        }
        Finding g = f;
        g.text = QString::fromLatin1(text);
        QByteArray j = FindingJson(g, "frame");
        j = QByteArray(run.firstFinding ? "\n" : ",\n") + j;
        run.firstFinding = false;
        if (open_ == id)
            out_.put(j);
        else
            run.waiting += j;
    }

    // The first line of a session's summary, and its record's head.
    QByteArray describe(const Run &run) const
    {
        const capture::Session &s = run.info;
        return "session " + QByteArray::number(s.id) + ": client " + s.client + ", server " + s.server
            + ", from " + TimeText(s.startUs) + " (frame " + QByteArray::number(s.startFrame) + ")"
            + (s.opened ? "" : ", begun before the capture");
    }

    void end(int id, qint64 frame)
    {
        auto it = runs_.find(id);
        if (it == runs_.end())
            return;
        Run &run = it->second;
        run.checker->finish(frame);
        if (!opt_.json) {
            out_.put(name_ + ": " + describe(run) + ": " + QByteArray::number(run.lines)
                     + " protocol lines, profile " + ProfileName(opt_.rules.profile) + '\n');
            PutSummaryBody(out_, *run.checker, opt_);
            note(*run.checker);
            runs_.erase(it);
            return;
        }
        run.waiting += tail(run);
        run.ended = true;
        run.checker.reset();
        if (open_ == id)
            closeOpen();
    }

    QByteArray tail(const Run &run)
    {
        note(*run.checker);
        ReadResult r;
        r.format = LogFormat::Capture;
        r.lines = run.lines;
        r.traffic = run.lines;
        int status = 0;
        for (int s = int(opt_.failOn); s <= int(Severity::Error); ++s)
            if (run.checker->findingCount(Severity(s)) > 0)
                status = 1;
        QByteArray bytes;
        Output buffer(&bytes);
        PutJsonTail(buffer, *run.checker, r, QByteArray(), status, run.firstFinding);
        return bytes;
    }

    void note(const ProtocolChecker &c)
    {
        for (int s = int(opt_.failOn); s <= int(Severity::Error); ++s)
            if (c.findingCount(Severity(s)) > 0)
                worst_ = qMax(worst_, 1);
    }

    void openRecord(Run &run)
    {
        open_ = run.info.id;
        const capture::Session &s = run.info;
        out_.put(QByteArray(firstRecord_ ? "" : ",\n") + "  {\"file\": " + JsonString(name_)
                 + ", \"session\": " + QByteArray::number(s.id) + ", \"client\": " + JsonString(s.client)
                 + ", \"server\": " + JsonString(s.server) + ", \"start_us\": "
                 + QByteArray::number(s.startUs) + ", \"start_frame\": " + QByteArray::number(s.startFrame)
                 + ", \"opened\": " + (s.opened ? "true" : "false") + ", \"findings\": [");
        firstRecord_ = false;
        out_.put(run.waiting);
        run.waiting.clear();
    }

    // The open record is done: the next session in order takes its place.
    void closeOpen()
    {
        while (open_ != 0) {
            auto it = runs_.find(open_);
            Run &run = it->second;
            if (!run.ended)
                return;
            out_.put(run.waiting);
            runs_.erase(it);
            open_ = 0;
            if (!runs_.empty())
                openRecord(runs_.begin()->second);
        }
    }

    void emptyRecord(const capture::ReadResult &r, const QByteArray &problem, int status)
    {
        ProtocolChecker none(opt_.rules);
        ReadResult rr;
        rr.format = LogFormat::Capture;
        const QByteArray why = !problem.isEmpty() ? problem
            : r.sessions > 0                      ? "no session " + QByteArray::number(copt_.session)
                                                  : QByteArray("no I++ DME traffic found");
        out_.put(QByteArray(firstRecord_ ? "" : ",\n") + "  {\"file\": " + JsonString(name_)
                 + ", \"session\": null, \"findings\": [");
        firstRecord_ = false;
        PutJsonTail(out_, none, rr, why, status, true);
    }

    QByteArray name_;
    const Options &opt_;
    const CaptureOptions &copt_;
    Output &out_;
    bool firstRecord_;
    std::map<int, Run> runs_; // the sessions under way (and, for JSON, ended ones waiting their turn)
    int open_ = 0; // the session whose JSON record is being written
    int worst_ = 0;
    qint64 printed_[RuleCount] = {};
};

} // namespace

int CheckCapture(const QString &path, const Options &opt, const CaptureOptions &capture, Output &out,
                 bool firstJson)
{
    CaptureCheck c(path, opt, capture, out, firstJson);
    return c.run(path);
}
