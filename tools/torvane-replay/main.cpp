// torvane-replay: a recording plays the server towards a client (serve), or
// the client against a server (client), and what the other side did
// differently from the recording is printed as a diff. The session is
// checked against the protocol's rules as it runs.
//
// Exit status: 0 when the diff is empty (within the tolerances), 1 when it
// isn't or a finding reaches the --fail-on level, 2 for bad input or a
// connection that failed.

#include "check/protocolchecker.h"
#include "check/summary.h"
#include "link/serverlink.h"
#include "link/traffic.h"
#include "platform/platform.h"
#include "relay/relaysession.h"
#include "replay/capturesource.h"
#include "replay/clientreplay.h"
#include "replay/diff.h"
#include "replay/faults.h"
#include "replay/match.h"
#include "replay/recording.h"
#include "replay/serverreplay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

using namespace check;
using namespace replay;

namespace {

constexpr int SignalExitSeconds = 10;
constexpr int CloseWaitMs = 2000;
// Findings printed per rule; the rest are counted.
constexpr qint64 PrintedPerRule = 100;

struct RunOptions {
    QString recording;
    LegChoice leg = LegChoice::Auto;
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 listenPort = 0;
    QString serverHost;
    quint16 serverPort = 0;
    ServeOptions serve;
    ClientOptions client;
    CaptureChoice capture;
    QString faultsPath;
    QString jsonPath, htmlPath;
    bool allowMotion = false, dryRun = false, quiet = false;
    Options check;
};

void Message(const QString &text)
{
    std::fprintf(stderr, "torvane-replay: %s\n", qPrintable(text));
}

std::unique_ptr<Recording> OpenRecording(const RunOptions &opt, QString *error)
{
    auto rec = std::make_unique<Recording>(SourceForFile(opt.recording, opt.capture), opt.leg);
    if (!rec->open(error))
        return nullptr;
    return rec;
}

// What both modes share: the checker with its printed findings, the end with
// its reports and exit status.
class Run : public QObject {
public:
    explicit Run(const RunOptions &o) : opt(o), checker(o.check.rules)
    {
        checker.setFindingHandler([this](const Finding &f) {
            qint64 &n = printed[size_t(f.rule)];
            if (++n > PrintedPerRule)
                return;
            std::printf("%s: %s: %s: %s\n", LegName(f.leg), SeverityName(f.severity), RuleId(f.rule),
                        qPrintable(f.text));
        });
    }

    // Prints the diff and the reports; the program ends once the sockets
    // are closed.
    void report(const Diff &diff, const QByteArray &mode, const QByteArray &peer, bool failed)
    {
        checker.finish();
        ReportHeader h{QFile::encodeName(opt.recording), mode, peer};
        PutDiffText(stdout, h, diff);
        qint64 failing = 0;
        for (int s = int(opt.check.failOn); s <= int(Severity::Error); ++s)
            failing += checker.findingCount(Severity(s));
        std::printf("checker: %lld findings, %lld at the --fail-on level\n",
                    (long long)checker.findingCount(), (long long)failing);
        if (recording) {
            if (recording->orphans() > 0)
                std::printf("recording: %lld reply lines for tags it never sent (first at line %lld)\n",
                            (long long)recording->orphans(), (long long)recording->orphanLines().value(0));
            const QString problem = recording->problem();
            if (!problem.isEmpty()) {
                Message(QStringLiteral("%1: %2").arg(opt.recording, problem));
                failed = true;
            }
        }
        status = failed ? 2 : (!diff.empty() || failing > 0) ? 1 : 0;
        std::fflush(stdout);
        if (!opt.jsonPath.isEmpty())
            writeFile(opt.jsonPath, DiffJson(h, diff, checker.findingCount(), status));
        if (!opt.htmlPath.isEmpty())
            writeFile(opt.htmlPath, DiffHtml(h, diff));
        awaitClose();
    }

    void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
            Message(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
            status = 2;
        }
    }

    void awaitClose()
    {
        ExitWhenClosed(
            this, &closing, [this] { return status; }, CloseWaitMs);
    }

    RunOptions opt;
    ProtocolChecker checker;
    std::unique_ptr<Recording> recording;
    qint64 printed[RuleCount] = {};
    QList<QPointer<QTcpSocket>> closing;
    int status = 0;
    bool ending = false;
};

// ---------------------------------------------------------------- serve

class Serve : public Run {
public:
    explicit Serve(const RunOptions &o) : Run(o), relay(new RelaySession(this)) { }

    bool start(FaultScript *faults)
    {
        QString error;
        recording = OpenRecording(opt, &error);
        if (!recording) {
            Message(QStringLiteral("%1: %2").arg(opt.recording, error));
            return false;
        }
        engine = new ServerReplay(*recording, opt.serve, this);
        engine->setFaults(faults);
        engine->setOutput(
            [this](const QByteArray &line) {
                if (!relay->clientConnected())
                    return;
                // The answers to a burst of commands go out in one piece.
                if (inBurst) {
                    gathered += line;
                    gathered += "\r\n";
                } else {
                    relay->writeLine(line);
                }
                checker.feed(Leg::Relay, Direction::FromServer, TrafficClockUs(), line);
            },
            [this] {
                sendGathered();
                relay->drop();
            });
        relay->setBurstHandlers([this] { inBurst = true; },
                                [this] {
                                    inBurst = false;
                                    sendGathered();
                                });
        // In lock-step the next command comes within microseconds: look for
        // it before the loop goes to sleep.
        look = new QuickLook(
            relay, relay, [this] { return relay->client() && !relay->leaving(); }, this);
        relay->setQuickLook(look);
        QObject::connect(engine, &ServerReplay::missed, this, [this](const QByteArray &line) {
            if (!opt.quiet)
                Message(QStringLiteral("not in the recording: %1").arg(QString::fromLatin1(line)));
        });
        relay->setSessionHandlers(
            [this](QTcpSocket *s) {
                peer = (s->peerAddress().toString() + QLatin1Char(':') + QString::number(s->peerPort()))
                           .toLatin1();
                checker.connectionReset(Leg::Operator);
                checker.connectionReset(Leg::Relay);
            },
            [this] {
                if (QTcpSocket *s = relay->client())
                    closing.append(s);
                QTimer::singleShot(0, this, [this] { finish(); });
            });
        relay->setAcceptGate([this] { return !ending; });
        relay->setLineHandler([this](const QByteArray &line) {
            QByteArray l = line;
            while (l.endsWith('\r'))
                l.chop(1);
            if (!l.isEmpty())
                checker.feed(Leg::Relay, Direction::ToServer, TrafficClockUs(), l);
            engine->clientLine(line);
        });
        if (!relay->listen(opt.listenAddress, opt.listenPort)) {
            Message(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(opt.listenAddress.toString())
                        .arg(opt.listenPort)
                        .arg(relay->listener()->errorString()));
            return false;
        }
        // Said also with --quiet: with port 0 this is where the client goes.
        Message(QStringLiteral("listening on port %1, serving %2 (%3 leg)")
                    .arg(relay->serverPort())
                    .arg(opt.recording, QLatin1String(LegName(recording->leg()))));
        return true;
    }

    void finish()
    {
        if (ending)
            return;
        ending = true;
        relay->stopListening();
        if (relay->client())
            relay->drop();
        engine->finish();
        report(engine->diff(), "serve", peer, false);
    }

    void sendGathered()
    {
        if (gathered.isEmpty())
            return;
        if (relay->clientConnected())
            relay->write(gathered);
        gathered.clear();
    }

    RelaySession *relay;
    QuickLook *look = nullptr;
    ServerReplay *engine = nullptr;
    QByteArray peer;
    QByteArray gathered;
    bool inBurst = false;
};

// ---------------------------------------------------------------- client

class Client : public Run {
public:
    explicit Client(const RunOptions &o) : Run(o), server(new ServerLink(this)) { }

    bool start()
    {
        QString error;
        recording = OpenRecording(opt, &error);
        if (!recording) {
            Message(QStringLiteral("%1: %2").arg(opt.recording, error));
            return false;
        }
        peer = (opt.serverHost + QLatin1Char(':') + QString::number(opt.serverPort)).toLatin1();
        engine = new ClientReplay(*recording, opt.client, this);
        engine->setOutput([this](const QByteArray &line) {
            if (!server->isOpen())
                return;
            server->writeLine(line);
            checker.feed(Leg::Operator, Direction::ToServer, TrafficClockUs(), line);
        });
        QObject::connect(engine, &ClientReplay::finished, this, [this] { finish(false); });
        server->setConnectHandlers(
            [this] {
                checker.connectionReset(Leg::Operator);
                engine->start();
            },
            [this] {
                Message(QStringLiteral("cannot connect to the server %1").arg(QString::fromLatin1(peer)));
                finish(true);
            });
        server->setLineHandler([this](const QByteArray &line) {
            checker.feed(Leg::Operator, Direction::FromServer, TrafficClockUs(), line);
            engine->serverLine(line);
        });
        server->setEndHandler([this](LineConnection::EndReason) {
            if (engine->isFinished())
                return;
            Message(QStringLiteral("the server closed the connection mid-replay"));
            lost = true;
            engine->serverGone();
        });
        QString host = opt.serverHost;
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
            host = QStringLiteral("127.0.0.1");
        server->connectTo(host, opt.serverPort);
        return true;
    }

    void interrupt()
    {
        if (engine && !engine->isFinished() && server->isOpen())
            engine->stop("interrupted");
        else
            finish(false);
    }

    void finish(bool failed)
    {
        if (ending)
            return;
        ending = true;
        if (server->isOpen()) {
            closing.append(server->socket());
            server->disconnectFromServer();
        }
        if (engine && engine->timedOut())
            Message(QStringLiteral("the server %1 went silent: %2")
                        .arg(QString::fromLatin1(peer), QString::fromLatin1(engine->stopReasonText())));
        else if (engine && engine->stopped() && !lost)
            Message(QStringLiteral("stopped: %1").arg(QString::fromLatin1(engine->stopReasonText())));
        report(engine ? engine->diff() : Diff(), "client", peer,
               failed || lost || (engine && engine->timedOut()));
    }

    ServerLink *server;
    ClientReplay *engine = nullptr;
    QByteArray peer;
    bool lost = false;
};

// The commands client replay would send, and how many of them move the machine.
int ScanCommands(const RunOptions &opt, bool print, qint64 *motion)
{
    QString error;
    std::unique_ptr<Recording> rec = OpenRecording(opt, &error);
    if (!rec) {
        Message(QStringLiteral("%1: %2").arg(opt.recording, error));
        return 2;
    }
    *motion = 0;
    int tag = 0, event = 0;
    for (qint64 i = 0;; ++i) {
        const RecordedTxn *t = rec->at(i);
        if (!t)
            break;
        if (IsMotion(MethodName(t->command)))
            ++*motion;
        if (print) {
            const QByteArray fresh = t->eventTag()
                ? 'E' + QByteArray::number(event = event % 9999 + 1).rightJustified(4, '0')
                : QByteArray::number(tag = tag % 99999 + 1).rightJustified(5, '0');
            std::printf("%s %s\n", fresh.constData(), t->command.constData());
        }
        rec->release(i);
    }
    if (!rec->problem().isEmpty()) {
        Message(QStringLiteral("%1: %2").arg(opt.recording, rec->problem()));
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Logs, findings and protocol text go through the standard streams as
    // bytes, the same on every system.
    platform::BinaryStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-replay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "torvane-replay serve RECORDING --listen [ADDR:]PORT\n"
        "torvane-replay client RECORDING --server HOST:PORT\n\n"
        "Replays a recorded I++ DME session (any log or packet capture torvane-check reads): 'serve'\n"
        "answers a client from the recording, 'client' sends the recorded commands to a server.\n"
        "Prints what the other side did differently from the recording."));
    auto opt = [](const char *name, const char *help, const char *value = nullptr,
                  const char *def = nullptr) {
        return QCommandLineOption(QLatin1String(name), QLatin1String(help),
                                  value ? QLatin1String(value) : QString(),
                                  def ? QLatin1String(def) : QString());
    };
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    const QCommandLineOption version = opt("version", "Shows the version.");
    const QCommandLineOption listen = opt("listen", "serve: the port the client connects to.", "[ADDR:]PORT");
    const QCommandLineOption server = opt("server", "client: the I++ DME server.", "HOST:PORT");
    const QCommandLineOption leg = opt("leg",
                                       "The recording's leg: operator or relay (default: the relay "
                                       "client's when it has commands).",
                                       "LEG");
    const QCommandLineOption match = opt("match",
                                         "serve: strict (the next recorded command, the default) or "
                                         "any (the first unused one with the same text).",
                                         "MODE", "strict");
    const QCommandLineOption tolerance = opt("tolerance", "Numbers may differ by T (default 0).", "T", "0");
    const QCommandLineOption speed =
        opt("speed", "Recorded delays scaled by 1/S; 0 sends at once (default 1).", "S", "1");
    const QCommandLineOption onMiss = opt("on-miss",
                                          "serve: a command the recording doesn't have gets an "
                                          "error (default), ack, or the connection is closed.",
                                          "RULE", "error");
    const QCommandLineOption faults = opt("faults", "serve: scripted faults from the JSON FILE.", "FILE");
    const QCommandLineOption slower =
        opt("slower", "Flags times past F times the recorded ones (default 2).", "F", "2");
    const QCommandLineOption allowMotion = opt("allow-motion", "client: sends motion commands too.");
    const QCommandLineOption dryRun = opt("dry-run", "client: prints what would be sent, sends nothing.");
    const QCommandLineOption keepGoing = opt("keep-going",
                                             "client: a server error of severity 3 or more "
                                             "doesn't stop the replay.");
    const QCommandLineOption json = opt("json", "Writes the diff as JSON to FILE.", "FILE");
    const QCommandLineOption html = opt("html", "Writes the diff as one HTML page to FILE.", "FILE");
    const QCommandLineOption quiet = opt("quiet", "Doesn't report each miss.");
    const QCommandLineOption timeout = opt("timeout",
                                           "client: a server silent this many seconds with commands "
                                           "open ends the replay, exit status 2 (default 30; 0: never).",
                                           "S", "30");
    const QCommandLineOption port =
        opt("port", "In captures, the I++ DME server's port (repeatable; default 1294).", "N");
    const QCommandLineOption session =
        opt("session", "In captures, the session replayed (default 1, the first).", "N");
    const RuleOptions ruleOptions;
    parser.addOptions({help,  version, listen, server, leg,         match,  tolerance,
                       speed, onMiss,  faults, slower, allowMotion, dryRun, keepGoing,
                       json,  html,    quiet,  port,   session,     timeout});
    parser.addOptions(ruleOptions.list());

    auto usageError = [](const QString &msg) {
        Message(msg);
        std::fprintf(stderr, "Try 'torvane-replay --help'.\n");
        return 2;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(
            qPrintable(parser.helpText()
                       + QStringLiteral("\nExit status: 0 no differences, 1 differences or findings at "
                                        "the --fail-on level,\n  2 bad input or a connection that "
                                        "failed.\n")),
            stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("torvane-replay %s\n", TORVANE_VERSION);
        return 0;
    }
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2 || (args[0] != QLatin1String("serve") && args[0] != QLatin1String("client")))
        return usageError(QStringLiteral("serve RECORDING or client RECORDING is wanted"));
    const bool serving = args[0] == QLatin1String("serve");

    RunOptions o;
    o.recording = args[1];
    QString error;
    if (!ruleOptions.read(parser, o.check, &error))
        return usageError(error);
    if (parser.isSet(leg)) {
        const QString l = parser.value(leg);
        if (l == QLatin1String("operator"))
            o.leg = LegChoice::Operator;
        else if (l == QLatin1String("relay"))
            o.leg = LegChoice::Relay;
        else
            return usageError(QStringLiteral("--leg takes operator or relay"));
    }
    auto number = [&](const QCommandLineOption &option, double lo, double *into) {
        bool ok = false;
        const double v = parser.value(option).toDouble(&ok);
        if (!ok || !(v >= lo) || v > 1e9)
            return false;
        *into = v;
        return true;
    };
    double tol = 0, spd = 1, slow = 2;
    if (!number(tolerance, 0, &tol))
        return usageError(QStringLiteral("--tolerance takes a number from 0"));
    if (!number(speed, 0, &spd))
        return usageError(QStringLiteral("--speed takes a number from 0"));
    if (!number(slower, 1, &slow))
        return usageError(QStringLiteral("--slower takes a number from 1"));
    double silence = 30;
    if (!number(timeout, 0, &silence) || silence > 86400)
        return usageError(QStringLiteral("--timeout takes seconds from 0"));
    o.client.silenceMs = int(silence * 1000);
    o.serve.tolerance = o.client.diff.tolerance = tol;
    o.serve.speed = o.client.speed = spd;
    o.client.diff.slower = slow;
    const QString m = parser.value(match);
    if (m == QLatin1String("any"))
        o.serve.match = MatchMode::Any;
    else if (m != QLatin1String("strict"))
        return usageError(QStringLiteral("--match takes strict or any"));
    const QString miss = parser.value(onMiss);
    if (miss == QLatin1String("ack"))
        o.serve.onMiss = MissRule::Ack;
    else if (miss == QLatin1String("close"))
        o.serve.onMiss = MissRule::Close;
    else if (miss != QLatin1String("error"))
        return usageError(QStringLiteral("--on-miss takes error, ack or close"));
    o.faultsPath = parser.value(faults);
    o.jsonPath = parser.value(json);
    o.htmlPath = parser.value(html);
    o.allowMotion = parser.isSet(allowMotion);
    o.dryRun = parser.isSet(dryRun);
    o.client.keepGoing = parser.isSet(keepGoing);
    o.quiet = parser.isSet(quiet);

    if (parser.isSet(port)) {
        o.capture.ports.clear();
        for (const QString &v : parser.values(port)) {
            bool ok = false;
            const uint n = v.toUInt(&ok);
            if (!ok || n == 0 || n > 65535)
                return usageError(QStringLiteral("--port takes a port number, not %1").arg(v));
            o.capture.ports.append(quint16(n));
        }
    }
    if (parser.isSet(session)) {
        bool ok = false;
        o.capture.session = parser.value(session).toInt(&ok);
        if (!ok || o.capture.session < 1)
            return usageError(QStringLiteral("--session takes a session number from 1"));
    }

    FaultScript script;
    if (!o.faultsPath.isEmpty()) {
        if (!serving)
            return usageError(QStringLiteral("--faults goes with serve"));
        if (!script.load(o.faultsPath, &error)) {
            Message(error);
            return 2;
        }
    }

    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (serving) {
        QString address;
        if (!parser.isSet(listen) || !SplitHostPort(parser.value(listen), &address, &o.listenPort))
            return usageError(QStringLiteral("--listen takes [ADDR:]PORT"));
        if (!address.isEmpty() && !o.listenAddress.setAddress(address))
            return usageError(QStringLiteral("--listen: not an address: %1").arg(address));
        Serve serve(o);
        if (!serve.start(script.isEmpty() ? nullptr : &script))
            return 2;
        platform::OnTerminationRequest(&serve, [&serve] {
            platform::ExitAfter(SignalExitSeconds, "torvane-replay: the end took too long\n");
            serve.finish();
        });
        return app.exec();
    }

    qint64 motion = 0;
    if (const int s = ScanCommands(o, o.dryRun, &motion))
        return s;
    if (o.dryRun)
        return 0;
    if (motion > 0 && !o.allowMotion) {
        Message(QStringLiteral("the recording holds %1 motion commands: the machine would move. "
                               "Start with --allow-motion to send them, or --dry-run to see them.")
                    .arg(motion));
        return 2;
    }
    if (!parser.isSet(server) || !SplitHostPort(parser.value(server), &o.serverHost, &o.serverPort)
        || o.serverHost.isEmpty() || o.serverPort == 0)
        return usageError(QStringLiteral("--server takes HOST:PORT"));
    Client client(o);
    if (!client.start())
        return 2;
    platform::OnTerminationRequest(&client, [&client] {
        platform::ExitAfter(SignalExitSeconds, "torvane-replay: the end took too long\n");
        client.interrupt();
    });
    return app.exec();
}
