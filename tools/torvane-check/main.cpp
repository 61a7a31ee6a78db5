// torvane-check: checks saved I++ DME traffic against the protocol's
// transaction rules and prints findings, a summary and timing figures.
//
// Exit status: 0 when no finding reaches the --fail-on level, 1 when one
// does, 2 when a file cannot be read or is no traffic log.

#include "capture/capturereader.h"
#include "capturecheck.h"
#include "check/catalogue.h"
#include "check/logreader.h"
#include "check/protocolchecker.h"
#include "check/summary.h"
#include "platform/platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace check;

namespace {

// Checks one file; returns 0, 1 or 2.
int CheckFile(const QString &path, const Options &opt, const CaptureOptions &copt, Output &out,
              bool firstJson)
{
    QFile file(path);
    const QByteArray name = path.toLocal8Bit();
    const bool isStdin = path == QLatin1String("-");
    const bool opened = isStdin ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
    // A packet capture is told by its first bytes.
    if (opened && !isStdin && capture::LooksLikeCapture(file.peek(4))) {
        file.close();
        return CheckCapture(path, opt, copt, out, firstJson);
    }

    ProtocolChecker checker(opt.rules);
    qint64 printed[RuleCount] = {};
    bool firstFinding = true;
    if (opt.json) {
        if (!firstJson)
            out.put(",\n");
        out.put("  {\"file\": " + JsonString(name) + ", \"findings\": [");
    }
    // The text lists each follow-on indented under its root cause.
    FindingGroups groups([&](const Finding &f, bool under) {
        const QByteArray leg = f.leg == Leg::Relay ? "[relay] " : "";
        out.put((under ? "    " : "") + name + ':' + QByteArray::number(f.line) + ": "
                + SeverityName(f.severity) + ": " + RuleId(f.rule) + ": " + leg + f.text.toLatin1() + '\n');
    });
    checker.setFindingHandler([&](const Finding &f) {
        qint64 &n = printed[size_t(f.rule)];
        if (opt.maxPerRule >= 0 && n >= opt.maxPerRule)
            return;
        ++n;
        if (opt.json)
            out.put(QByteArray(firstFinding ? "\n" : ",\n") + FindingJson(f));
        else
            groups.add(f);
        firstFinding = false;
    });

    ReadResult r;
    if (!opened) {
        r.readError = true;
        r.error = file.errorString();
    } else {
        r = LogReader::Read(file, checker, opt.read);
    }

    groups.flush();
    QByteArray problem;
    const int status = RunStatus(r, checker, opt.failOn, &problem);
    const bool noTraffic = status != 2 && r.traffic == 0;

    if (opt.json) {
        PutJsonTail(out, checker, r, problem, status, firstFinding);
        return status;
    }

    if (!problem.isEmpty())
        std::fprintf(stderr, "%s: %s\n", name.constData(), problem.constData());
    if (status == 2 && r.traffic == 0)
        return status;
    if (r.format == LogFormat::Empty || noTraffic) {
        out.put(name + ": no traffic\n");
        return status;
    }

    PutSummary(out, name, checker, r, opt);
    return status;
}

QString InputHelp()
{
    return QStringLiteral(
        "\nInput: Torvane's saved traffic logs, NIST client and server logs, and transcripts\n"
        "  whose lines start with \"C:\" or \"S:\"; the format is recognised from the content.\n"
        "  A NIST log or a transcript begins at the connection, outside a session (a\n"
        "  transcript inside one with --mid-session); a Torvane log at its connect line.\n"
        "  Packet captures (pcap, pcapng): every I++ DME connection in them, found by its\n"
        "  server port (--port) or by a tagged command as its client's first line, is\n"
        "  checked as a session of its own; findings name the frame. Not from stdin.\n"
        "\nExit status: 0 nothing at the --fail-on level, 1 something is,\n"
        "  2 a file cannot be read, is no traffic log or ends mid-line (a capture: mid-packet).\n");
}

QString CatalogueHelp()
{
    QString s = QStringLiteral("\nMethods each profile knows, and the data they return (* event command):\n");
    for (const Profile p : {Profile::Spec143, Profile::V2}) {
        s += p == Profile::Spec143 ? QStringLiteral("  1.4.3 and nist:\n")
                                   : QStringLiteral("  2.x adds (data kind: where from):\n");
        for (const MethodInfo *m : Catalogue(p)) {
            if (p == Profile::V2 && m->since != Since::V2)
                continue;
            s += QStringLiteral("    %1 %2%3\n")
                     .arg(QLatin1String(m->name) + QLatin1String(m->event ? "*" : ""), -28)
                     .arg(QString::fromLatin1(DataDescription(*m)))
                     .arg(p == Profile::V2 ? QStringLiteral(": ") + QLatin1String(m->source) : QString());
        }
    }
    s += QStringLiteral("  Vendor methods in a name space (XX.Method) are accepted under every profile.\n");
    return s;
}

// The rule's explanation for --explain.
QByteArray Explain(Rule rule)
{
    const Explanation &e = RuleExplanation(rule);
    return QByteArray(RuleId(rule)) + ": " + InfoFor(rule).summary + "\n\nWho breaks it: " + e.who
        + "\n\nWhat it leads to: " + e.effect + "\n\nWhat to change: " + e.fix + '\n';
}

} // namespace

int main(int argc, char **argv)
{
    // Logs, findings and protocol text go through the standard streams as
    // bytes, the same on every system.
    platform::BinaryStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks saved I++ DME traffic against the protocol's transaction rules."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help, with the rules."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
    const RuleOptions ruleOptions;
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Writes a JSON report instead of text."));
    const QCommandLineOption maxPerRule(
        QStringLiteral("max-per-rule"),
        QStringLiteral("Prints at most N findings of each rule (all are counted)."), QStringLiteral("N"));
    const QCommandLineOption explain(
        QStringLiteral("explain"),
        QStringLiteral("Explains RULE: who breaks it, what it leads to, what to change."),
        QStringLiteral("RULE"));
    const QCommandLineOption midSession(QStringLiteral("mid-session"),
                                        QStringLiteral("Transcripts begin inside a session."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("In captures, the I++ DME server's port (repeatable; default 1294)."),
        QStringLiteral("N"));
    const QCommandLineOption session(QStringLiteral("session"),
                                     QStringLiteral("In captures, checks only the Nth session."),
                                     QStringLiteral("N"));
    parser.addOptions({help, version, ruleOptions.profile, ruleOptions.enable, ruleOptions.disable, json,
                       ruleOptions.failOn, maxPerRule, explain, midSession, port, session});
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("Log files to check (\"-\" for stdin)."),
                                 QStringLiteral("FILE..."));

    auto usageError = [&](const QString &msg) {
        std::fprintf(stderr, "torvane-check: %s\n", qPrintable(msg));
        std::fprintf(stderr, "Try 'torvane-check --help'.\n");
        return 2;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText() + RulesHelp() + InputHelp() + CatalogueHelp()), stdout);
        return 0;
    }
    if (parser.isSet(explain)) {
        QByteArray text;
        for (const QString &id : parser.values(explain)) {
            if (id.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
                for (int i = 0; i < RuleCount; ++i)
                    text += (text.isEmpty() ? "" : "\n") + Explain(Rule(i));
                continue;
            }
            const auto r = RuleFromId(id.toLatin1());
            if (!r)
                return usageError(QStringLiteral("unknown rule: %1").arg(id));
            text += (text.isEmpty() ? "" : "\n") + Explain(*r);
        }
        std::fputs(text.constData(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("torvane-check %s\n", TORVANE_VERSION);
        return 0;
    }

    Options opt;
    QString error;
    if (!ruleOptions.read(parser, opt, &error))
        return usageError(error);
    opt.json = parser.isSet(json);
    opt.read.midSession = parser.isSet(midSession);
    if (parser.isSet(maxPerRule)) {
        bool ok = false;
        opt.maxPerRule = parser.value(maxPerRule).toLongLong(&ok);
        if (!ok || opt.maxPerRule < 0)
            return usageError(QStringLiteral("--max-per-rule takes a count"));
    }
    CaptureOptions copt;
    if (parser.isSet(port)) {
        copt.ports.clear();
        for (const QString &v : parser.values(port)) {
            bool ok = false;
            const uint n = v.toUInt(&ok);
            if (!ok || n == 0 || n > 65535)
                return usageError(QStringLiteral("--port takes a port number, not %1").arg(v));
            copt.ports.append(quint16(n));
        }
    }
    if (parser.isSet(session)) {
        bool ok = false;
        copt.session = parser.value(session).toInt(&ok);
        if (!ok || copt.session < 1)
            return usageError(QStringLiteral("--session takes a session number from 1"));
    }
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return usageError(QStringLiteral("no log file given"));

    Output out(stdout);
    int status = 0;
    if (opt.json)
        out.put(QByteArray("{\"profile\": \"") + ProfileName(opt.rules.profile) + "\", \"files\": [\n");
    bool first = true;
    for (const QString &f : files) {
        const int s = CheckFile(f, opt, copt, out, first);
        first = false;
        status = qMax(status, s);
    }
    if (opt.json)
        out.put("\n ], \"status\": " + QByteArray::number(status) + "}\n");
    out.flush();
    return status;
}
