// torvane-tap: a relay and recorder without a window. One client program at
// a time connects to the listen port; its lines go to the I++ DME server and
// the server's lines come back, unchanged. Every line is written to the
// traffic log as the window's Save Log writes it and checked against the
// protocol's rules as it passes; findings are printed as they happen, and
// the checker's summary when the tap ends.
//
// Exit status: as torvane-check's (0, 1 when a finding reaches the --fail-on
// level), and 2 when the port can't be opened or the server can't be reached.

#include "check/markers.h"
#include "check/protocolchecker.h"
#include "check/summary.h"
#include "link/serverlink.h"
#include "link/traffic.h"
#include "log/timestamp.h"
#include "platform/platform.h"
#include "relay/relaysession.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <cstdio>
#include <cstring>

using namespace check;

namespace {

constexpr int FlushIntervalMs = 1000;
// The log is written in pieces of about this size between the timed flushes.
constexpr qsizetype LogChunk = 256 * 1024;
// How long the sockets get to send what they hold when the tap ends.
constexpr int CloseWaitMs = 2000;
// The bound on an end that a signal asked for.
constexpr int SignalExitSeconds = 10;
// A rule with more findings than this in one second is only counted for the
// rest of that second, as in the window's inspector: a flood costs no
// sentences and no lines. How many went unprinted is said when the second ends.
constexpr int FloodPerSecond = 200;

// The traffic log, written as the lines pass. A write that fails (a full
// disk) is reported once; the tap goes on relaying without the log.
class LogFile {
public:
    bool open(const QString &path, QString *error)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            *error = file.errorString();
            return false;
        }
        buffer.resize(LogChunk);
        return true;
    }
    bool isOpen() const { return file.isOpen(); }

    // One line; CR LF is added.
    void line(QByteArrayView a, QByteArrayView b = {}, QByteArrayView c = {})
    {
        if (!file.isOpen())
            return;
        const qsizetype size = a.size() + b.size() + c.size() + 2;
        if (used + size > buffer.size()) {
            flush();
            if (size > buffer.size())
                buffer.resize(size);
        }
        char *at = buffer.data() + used;
        for (QByteArrayView part : {a, b, c, QByteArrayView("\r\n", 2)}) {
            if (!part.isEmpty())
                std::memcpy(at, part.data(), size_t(part.size()));
            at += part.size();
        }
        used += size;
    }

    void flush()
    {
        if (!file.isOpen() || used == 0)
            return;
        const qint64 written = file.write(buffer.constData(), used);
        if (written != used) {
            std::fprintf(stderr,
                         "torvane-tap: cannot write the log %s (%s); relaying goes on, the log ends here\n",
                         qPrintable(file.fileName()), qPrintable(file.errorString()));
            file.close();
        }
        used = 0;
        if (buffer.size() > LogChunk)
            buffer.resize(LogChunk);
    }

private:
    QFile file;
    QByteArray buffer; // room for the lines not yet written
    qsizetype used = 0;
};

struct TapOptions {
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 listenPort = 0;
    QString serverHost;
    quint16 serverPort = 0;
    QString logPath;
    QString jsonPath;
    bool timeStamps = true;
    bool once = false;
    bool quiet = false;
    Options check;
};

class Tap : public QObject {
public:
    explicit Tap(const TapOptions &options)
        : opt(options), server(new ServerLink(this)), relay(new RelaySession(this)),
          checker(options.check.rules), out(stdout)
    {
        mutedFrom.fill(-1);
    }

    // Opens the log, the report and the port; false (with a message) when
    // one can't be.
    bool start();
    // Ends the run: the client and the link are let go, the log flushed,
    // the summary printed; the program ends once the sockets are closed.
    void finish();

private:
    void wire();
    void clientArrived();
    void clientLeft();
    void clientLine(const QByteArray &line);
    void serverLine(const QByteArray &line);
    void serverUp();
    void serverFailed();
    void serverEnded(LineConnection::EndReason reason);
    void releaseServer();

    void publish(Leg leg, Direction dir, const QByteArray &line, QLatin1String marker);
    qint64 logRecord(const TrafficRecord &r);
    void checkRecord(const TrafficRecord &r);
    void event(const QByteArray &text);
    QByteArray connectionStamp() const
    {
        return FormatConnectionStamp(QDateTime::currentDateTime()).toLatin1();
    }
    void printFinding(const Finding &f);
    void floodWindow(qint64 nowUs);
    void flushFindings()
    {
        if (printed)
            out.flush();
        printed = false;
    }
    void tick();
    void clearProgress();
    void awaitClose();

    TapOptions opt;
    ServerLink *server;
    RelaySession *relay;
    QuickLook *look = nullptr;
    TrafficTap traffic;
    ProtocolChecker checker;
    LogFile log;
    Output out;
    FILE *json = nullptr;
    bool firstFinding = true;
    bool printed = false; // findings wait in stdout's buffer
    QTime findingTime;
    QByteArray findingClock;
    QByteArray findingLine;
    qint64 floodStartUs = 0;
    std::array<int, RuleCount> floodCount{};
    std::array<qint64, RuleCount> mutedFrom{}; // the rule's count when it was muted, -1 while not
    std::array<Leg, RuleCount> mutedLeg{};
    QTimer *ticker = nullptr;

    qint64 lines = 0; // lines the log holds (its line numbers)
    qint64 fed = 0; // protocol lines checked
    QByteArray stamp; // the time stamp of the batch being logged
    qint64 batchUs = -1; // its time of day, as the log reader reads it back
    qint64 lastUs = -1, dayOffsetUs = 0;
    bool cancelling = false; // a connect given up on purpose, no failure
    bool unreachable = false;
    bool ending = false;
    bool progressShown = false;
    QList<QPointer<QTcpSocket>> closing;
};

bool Tap::start()
{
    if (!opt.logPath.isEmpty()) {
        QString error;
        if (!log.open(opt.logPath, &error)) {
            std::fprintf(stderr, "torvane-tap: cannot open the log %s: %s\n", qPrintable(opt.logPath),
                         qPrintable(error));
            return false;
        }
    }
    if (!opt.jsonPath.isEmpty()) {
        json = std::fopen(QFile::encodeName(opt.jsonPath).constData(), "wb");
        if (!json) {
            std::fprintf(stderr, "torvane-tap: cannot open the report %s\n", qPrintable(opt.jsonPath));
            return false;
        }
        const QByteArray name = opt.logPath.isEmpty() ? QByteArray("-") : opt.logPath.toLocal8Bit();
        Output j(json);
        j.put(QByteArray("{\"profile\": \"") + ProfileName(opt.check.rules.profile) + "\", \"files\": [\n");
        j.put("  {\"file\": " + JsonString(name) + ", \"findings\": [");
    }
    wire();
    if (!relay->listen(opt.listenAddress, opt.listenPort)) {
        std::fprintf(stderr, "torvane-tap: cannot listen on %s:%u: %s\n",
                     qPrintable(opt.listenAddress.toString()), unsigned(opt.listenPort),
                     qPrintable(relay->listener()->errorString()));
        return false;
    }
    // Said also with --quiet: with port 0 this is where the clients go.
    std::fprintf(stderr, "torvane-tap: listening on port %u, relaying to %s:%u\n",
                 unsigned(relay->serverPort()), qPrintable(opt.serverHost), unsigned(opt.serverPort));
    ticker = new QTimer(this);
    connect(ticker, &QTimer::timeout, this, [this] { tick(); });
    ticker->start(FlushIntervalMs);
    return true;
}

void Tap::wire()
{
    relay->setSessionHandlers([this](QTcpSocket *) { clientArrived(); }, [this] { clientLeft(); });
    relay->setAcceptGate([this] { return !ending; });
    relay->setReadGate([this] { return !server->settling(); });
    relay->setLineHandler([this](const QByteArray &line) { clientLine(line); });
    relay->setEndHandler([this](LineConnection::EndReason reason) {
        if (reason == LineConnection::EndReason::LineTooLong)
            event("---------- Client line longer than " + QByteArray::number(MaxLineLength)
                  + " characters, connection closed");
    });
    server->setConnectHandlers([this] { serverUp(); }, [this] { serverFailed(); });
    server->setLineHandler([this](const QByteArray &line) { serverLine(line); });
    server->setEndHandler([this](LineConnection::EndReason reason) { serverEnded(reason); });
    for (LineConnection *c : {static_cast<LineConnection *>(server), static_cast<LineConnection *>(relay)})
        c->setBurstHandlers([this] { traffic.hold(); }, [this] { traffic.release(); });
    LineConnection::Pair(server, relay);
    look = new QuickLook(
        server, relay, [this] { return relay->client() && !relay->leaving(); }, this);
    server->setQuickLook(look);
    relay->setQuickLook(look);

    traffic.setLog([this](const TrafficRecord &r) { return logRecord(r); });
    traffic.subscribe([this](const TrafficRecord &r) { checkRecord(r); });
    traffic.setBatchHandlers(
        [this](const TrafficRecord &first) {
            if (!opt.timeStamps)
                return;
            static const QChar separator = LocaleTimeSeparator();
            stamp = FormatTimeStampPrefix(first.time, separator).toLatin1();
            // The log reader reads the stamp back to the millisecond, and keeps
            // the times rising past midnight.
            qint64 t = qint64(first.time.msecsSinceStartOfDay()) * 1000 + dayOffsetUs;
            if (lastUs >= 0 && t < lastUs - 12LL * 3600 * 1000000) {
                dayOffsetUs += 24LL * 3600 * 1000000;
                t += 24LL * 3600 * 1000000;
            }
            batchUs = lastUs = t;
        },
        [this] { flushFindings(); });
    checker.setFindingHandler([this](const Finding &f) { printFinding(f); });
}

// ---------------------------------------------------------------- the session

void Tap::clientArrived()
{
    event("---------- Client connected to our server" + connectionStamp());
    QString host = opt.serverHost;
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    // The client's lines wait in its socket until the link has settled.
    server->connectTo(host, opt.serverPort);
}

void Tap::serverUp()
{
    event("---------- Connected" + connectionStamp());
    if (relay->client())
        relay->readNow();
}

void Tap::serverFailed()
{
    if (cancelling)
        return;
    std::fprintf(stderr, "torvane-tap: cannot connect to the server %s:%u\n", qPrintable(opt.serverHost),
                 unsigned(opt.serverPort));
    unreachable = true;
    // Nowhere to relay to: the client is let go.
    relay->drop();
}

void Tap::serverEnded(LineConnection::EndReason reason)
{
    if (reason == LineConnection::EndReason::LineTooLong)
        event("---------- Server line longer than " + QByteArray::number(MaxLineLength)
              + " characters, connection closed");
    event("---------- Disconnected" + connectionStamp());
    // What the server sent before it went still reaches the client.
    relay->drop();
}

void Tap::clientLeft()
{
    if (QTcpSocket *s = relay->client())
        closing.append(s);
    event("---------- Client disconnected to our server" + connectionStamp());
    releaseServer();
    log.flush();
    if (opt.once && !ending)
        QTimer::singleShot(0, this, [this] { finish(); });
}

void Tap::releaseServer()
{
    if (server->settling()) {
        cancelling = true;
        server->failAttempt();
        cancelling = false;
    } else if (server->isOpen()) {
        closing.append(server->socket());
        server->disconnectFromServer();
        event("---------- Disconnected" + connectionStamp());
    }
}

// ---------------------------------------------------------------- the lines

void Tap::clientLine(const QByteArray &line)
{
    const bool forwarded = server->isOpen();
    if (forwarded)
        server->writeLine(line);
    publish(Leg::Relay, Direction::ToServer, line, LogMarker::FromRelay);
    if (!forwarded)
        event("---------- Not forwarded: no server link");
}

void Tap::serverLine(const QByteArray &line)
{
    if (relay->clientConnected()) {
        relay->writeLine(line);
        publish(Leg::Relay, Direction::FromServer, line, LogMarker::ToRelay);
    } else {
        publish(Leg::Operator, Direction::FromServer, line, LogMarker::Server);
    }
}

void Tap::publish(Leg leg, Direction dir, const QByteArray &line, QLatin1String marker)
{
    traffic.publish(TrafficRecord(leg, dir, line, marker));
}

// As Save Log writes it: time stamp, marker, line. An empty line from the
// client is the time-out line.
qint64 Tap::logRecord(const TrafficRecord &r)
{
    const QByteArrayView marker(r.marker.data(), r.marker.size());
    if (r.marker == LogMarker::FromRelay && r.line.isEmpty())
        log.line(marker, "---------- timeout");
    else
        log.line(stamp, marker, r.line);
    return lines++;
}

// Fed as the log reader feeds the log just written, so that the findings
// here are those torvane-check finds in the log.
void Tap::checkRecord(const TrafficRecord &r)
{
    QByteArrayView line = r.line;
    while (!line.isEmpty() && line.back() == '\r')
        line.chop(1);
    if (r.dir == Direction::ToServer && (line.isEmpty() || line == "---------- timeout"))
        return;
    ++fed;
    floodWindow(r.clockUs);
    checker.feed(r.leg, r.dir, opt.timeStamps ? batchUs : -1, line, r.logLine + 1);
}

// An event line; it ends a leg's transactions as the log reader's does.
void Tap::event(const QByteArray &text)
{
    traffic.flush();
    log.line(text);
    ++lines;
    floodWindow(TrafficClockUs());
    if (text.startsWith("---------- Connected") || text.startsWith("---------- Disconnected"))
        checker.connectionReset(Leg::Operator, lines);
    else if (text.startsWith("---------- Client "))
        checker.connectionReset(Leg::Relay, lines);
    flushFindings();
}

// ---------------------------------------------------------------- output

void Tap::printFinding(const Finding &f)
{
    clearProgress();
    if (++floodCount[size_t(f.rule)] >= FloodPerSecond && mutedFrom[size_t(f.rule)] < 0) {
        checker.setFindingDetail(f.rule, false);
        mutedFrom[size_t(f.rule)] = checker.findingCount(f.rule, Severity::Error)
            + checker.findingCount(f.rule, Severity::Warning) + checker.findingCount(f.rule, Severity::Note);
        mutedLeg[size_t(f.rule)] = f.leg;
    }
    // A flood's findings come many to a burst: the time is written once for them.
    const QTime now = LocalTimeNow();
    if (now != findingTime || findingClock.isEmpty()) {
        findingTime = now;
        findingClock = now.toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1();
    }
    printed = true;
    QByteArray &l = findingLine;
    l.clear();
    l += findingClock;
    l += ' ';
    l += LegName(f.leg);
    l += ": ";
    l += SeverityName(f.severity);
    l += ": ";
    l += RuleId(f.rule);
    l += ": ";
    l += f.text.toLatin1();
    l += '\n';
    out.put(l);
    if (json) {
        Output j(json);
        j.put(QByteArray(firstFinding ? "\n" : ",\n") + FindingJson(f));
    }
    firstFinding = false;
}

// A new second (or the end, with `nowUs` -1): the flooding rules say how
// many findings went unprinted, and are printed again.
void Tap::floodWindow(qint64 nowUs)
{
    if (nowUs >= 0 && nowUs - floodStartUs < 1000000)
        return;
    floodStartUs = nowUs;
    floodCount.fill(0);
    for (int i = 0; i < RuleCount; ++i) {
        if (mutedFrom[size_t(i)] < 0)
            continue;
        const Rule rule = Rule(i);
        const qint64 unprinted = checker.findingCount(rule, Severity::Error)
            + checker.findingCount(rule, Severity::Warning) + checker.findingCount(rule, Severity::Note)
            - mutedFrom[size_t(i)];
        mutedFrom[size_t(i)] = -1;
        checker.setFindingDetail(rule, true);
        if (unprinted == 0)
            continue;
        clearProgress();
        printed = true;
        out.put(LocalTimeNow().toString(QStringLiteral("hh:mm:ss.zzz")).toLatin1() + ' '
                + LegName(mutedLeg[size_t(i)]) + ": note: " + RuleId(rule) + ": "
                + QByteArray::number(unprinted)
                + " more findings of this rule, counted but not printed (over "
                + QByteArray::number(FloodPerSecond) + " in one second)\n");
    }
}

void Tap::tick()
{
    log.flush();
    out.flush();
    if (!opt.quiet && platform::StandardErrorIsTerminal()) {
        const int open = checker.totals(Leg::Relay).open + checker.totals(Leg::Operator).open;
        std::fprintf(stderr, "\rtorvane-tap: %lld lines, %lld findings, %d open transactions\033[K",
                     (long long)lines, (long long)checker.findingCount(), open);
        std::fflush(stderr);
        progressShown = true;
    }
}

void Tap::clearProgress()
{
    if (!progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    progressShown = false;
}

void Tap::finish()
{
    if (ending)
        return;
    ending = true;
    if (ticker)
        ticker->stop();
    relay->stopListening();
    if (relay->client())
        relay->drop();
    else
        releaseServer();
    traffic.flush();
    checker.finish(lines);
    floodWindow(-1);
    log.flush();
    clearProgress();

    ReadResult r;
    r.format = LogFormat::Torvane;
    r.lines = lines;
    r.traffic = fed;
    QByteArray problem;
    int status = RunStatus(r, checker, opt.check.failOn, &problem);
    if (unreachable)
        status = 2;
    const QByteArray name = opt.logPath.isEmpty() ? QByteArray("torvane-tap") : opt.logPath.toLocal8Bit();
    if (fed == 0)
        out.put(name + ": no traffic\n");
    else
        PutSummary(out, name, checker, r, opt.check);
    out.flush();
    if (json) {
        Output j(json);
        PutJsonTail(j, checker, r, problem, status, firstFinding);
        j.put("\n ], \"status\": " + QByteArray::number(status) + "}\n");
        std::fclose(json);
        json = nullptr;
    }
    QCoreApplication::instance()->setProperty("tapStatus", status);
    awaitClose();
}

// What the sockets hold still goes out; then the program ends.
void Tap::awaitClose()
{
    ExitWhenClosed(
        this, &closing, [] { return QCoreApplication::instance()->property("tapStatus").toInt(); },
        CloseWaitMs);
}

} // namespace

int main(int argc, char **argv)
{
    // Logs, findings and protocol text go through the standard streams as
    // bytes, the same on every system.
    platform::BinaryStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-tap"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Relays one I++ DME client at a time to a server, records the traffic in Torvane's log\n"
        "format and checks it against the protocol's transaction rules as it passes."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help, with the rules."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("The port clients connect to, on ADDR (default: all)."),
                                    QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("The I++ DME server."),
                                    QStringLiteral("HOST:PORT"));
    const QCommandLineOption logFile(QStringLiteral("log"),
                                     QStringLiteral("Writes the traffic log to FILE, as Save Log does."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption noStamps(QStringLiteral("no-time-stamps"),
                                      QStringLiteral("Logs the lines without time stamps."));
    const RuleOptions ruleOptions;
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Writes a JSON report to FILE when the tap ends."),
                                  QStringLiteral("FILE"));
    const QCommandLineOption once(QStringLiteral("once"),
                                  QStringLiteral("Ends after the first client has left."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Shows no progress."));
    parser.addOptions({help, version, listen, server, logFile, noStamps});
    parser.addOptions(ruleOptions.list());
    parser.addOptions({json, once, quiet});

    auto usageError = [&](const QString &msg) {
        std::fprintf(stderr, "torvane-tap: %s\n", qPrintable(msg));
        std::fprintf(stderr, "Try 'torvane-tap --help'.\n");
        return 2;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(
            qPrintable(parser.helpText() + RulesHelp()
                       + QStringLiteral("\nExit status: 0 nothing at the --fail-on level, 1 something is,\n"
                                        "  2 the port can't be opened or the server can't be reached.\n")),
            stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("torvane-tap %s\n", TORVANE_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    TapOptions opt;
    QString error;
    if (!ruleOptions.read(parser, opt.check, &error))
        return usageError(error);
    QString address;
    if (!parser.isSet(listen) || !SplitHostPort(parser.value(listen), &address, &opt.listenPort))
        return usageError(QStringLiteral("--listen takes [ADDR:]PORT"));
    if (!address.isEmpty() && !opt.listenAddress.setAddress(address))
        return usageError(QStringLiteral("--listen: not an address: %1").arg(address));
    if (!parser.isSet(server) || !SplitHostPort(parser.value(server), &opt.serverHost, &opt.serverPort)
        || opt.serverHost.isEmpty() || opt.serverPort == 0)
        return usageError(QStringLiteral("--server takes HOST:PORT"));
    opt.logPath = parser.value(logFile);
    opt.jsonPath = parser.value(json);
    opt.timeStamps = !parser.isSet(noStamps);
    opt.once = parser.isSet(once);
    opt.quiet = parser.isSet(quiet);

    // Findings are printed as they happen, also into a pipe: stdout is
    // flushed after each burst of lines, each event and each second.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    Tap tap(opt);
    if (!tap.start())
        return 2;
    platform::OnTerminationRequest(&tap, [&tap] {
        platform::ExitAfter(SignalExitSeconds, "torvane-tap: the end took too long\n");
        tap.finish();
    });
    return app.exec();
}
