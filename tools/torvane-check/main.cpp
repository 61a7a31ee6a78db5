// torvane-check: checks saved I++ DME traffic against the protocol's
// transaction rules and prints findings, a summary and timing figures.
//
// Exit status: 0 when no finding reaches the --fail-on level, 1 when one
// does, 2 when a file cannot be read or is no traffic log.

#include "check/catalogue.h"
#include "check/logreader.h"
#include "check/protocolchecker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace check;

namespace {

QByteArray JsonString(QByteArrayView s)
{
    QByteArray out;
    out.reserve(s.size() + 2);
    out += '"';
    for (char ch : s) {
        const uchar c = uchar(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 32 || c > 126) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

QByteArray Ms(qint64 us)
{
    if (us < 0)
        return "-";
    return QByteArray::number(double(us) / 1000.0, 'f', us < 10000000 ? 1 : 0);
}

struct Options {
    RuleSet rules;
    ReadOptions read;
    bool json = false;
    Severity failOn = Severity::Error;
    qint64 maxPerRule = -1;
};

class Output {
public:
    explicit Output(FILE *f) : f_(f) { }
    void put(const QByteArray &s) { std::fwrite(s.constData(), 1, size_t(s.size()), f_); }
    void flush() { std::fflush(f_); }

private:
    FILE *f_;
};

// Each rule found once, with its count, the side at fault and what to
// change; first the causes that explain many findings at once.
void WhatToFix(const ProtocolChecker &checker, Output &out)
{
    QByteArray text;
    for (const RepeatedCause &c : checker.repeatedCauses())
        text += "    " + c.sentence.toLatin1() + '\n';
    for (int i = 0; i < RuleCount; ++i) {
        const Rule rule = Rule(i);
        const qint64 client = checker.findingCount(rule, Party::Client);
        const qint64 server = checker.findingCount(rule, Party::Server);
        if (client + server == 0)
            continue;
        QByteArray side;
        if (client)
            side += "client " + QByteArray::number(client);
        if (server)
            side += QByteArray(client ? ", " : "") + "server " + QByteArray::number(server);
        text += "    " + QByteArray(RuleId(rule)).leftJustified(16)
            + QByteArray::number(client + server).rightJustified(8) + " (" + side
            + "): " + RuleExplanation(rule).fix + '\n';
    }
    if (!text.isEmpty())
        out.put("  what to fix (--explain RULE for more):\n" + text);
}

// Checks one file; returns 0, 1 or 2.
int CheckFile(const QString &path, const Options &opt, Output &out, bool firstJson)
{
    QFile file(path);
    const QByteArray name = path.toLocal8Bit();
    const bool isStdin = path == QLatin1String("-");
    const bool opened = isStdin ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);

    ProtocolChecker checker(opt.rules);
    qint64 printed[RuleCount] = {};
    bool firstFinding = true;
    if (opt.json) {
        if (!firstJson)
            out.put(",\n");
        out.put("  {\"file\": " + JsonString(name) + ", \"findings\": [");
    }
    checker.setFindingHandler([&](const Finding &f) {
        qint64 &n = printed[size_t(f.rule)];
        if (opt.maxPerRule >= 0 && n >= opt.maxPerRule)
            return;
        ++n;
        const QByteArray text = f.text.toLatin1();
        if (opt.json) {
            out.put(QByteArray(firstFinding ? "\n" : ",\n") + "    {\"line\": " + QByteArray::number(f.line)
                    + ", \"severity\": \"" + SeverityName(f.severity) + "\", \"rule\": \"" + RuleId(f.rule)
                    + "\", \"leg\": \"" + LegName(f.leg) + "\", \"tag\": " + JsonString(f.tag)
                    + ", \"related\": " + QByteArray::number(f.relatedLine) + ", \"party\": \""
                    + PartyName(f.party) + "\", \"text\": " + JsonString(text) + "}");
        } else {
            QByteArray leg = f.leg == Leg::Relay ? "[relay] " : "";
            out.put(name + ':' + QByteArray::number(f.line) + ": " + SeverityName(f.severity) + ": "
                    + RuleId(f.rule) + ": " + leg + text + '\n');
        }
        firstFinding = false;
    });

    ReadResult r;
    if (!opened) {
        r.readError = true;
        r.error = file.errorString();
    } else {
        r = LogReader::Read(file, checker, opt.read);
    }

    int status = 0;
    QByteArray problem;
    if (r.readError) {
        problem = "cannot read: " + r.error.toLocal8Bit();
        status = 2;
    } else if (r.format == LogFormat::Binary || r.format == LogFormat::Unknown) {
        problem = r.error.toLocal8Bit();
        status = 2;
    } else if (r.truncated) {
        problem = "truncated: the last line (" + QByteArray::number(r.lines) + ") has no line end";
        status = 2;
    }
    const bool noTraffic = status == 0 && r.traffic == 0;
    qint64 failing = 0;
    for (int s = int(opt.failOn); s <= int(Severity::Error); ++s)
        failing += checker.findingCount(Severity(s));
    if (status == 0 && failing > 0)
        status = 1;
    if (status != 2 && r.truncated)
        status = 2;

    if (opt.json) {
        out.put(QByteArray(firstFinding ? "]" : "\n  ]") + ",\n   \"format\": \"" + FormatName(r.format)
                + "\", \"lines\": " + QByteArray::number(r.lines) + ", \"traffic\": "
                + QByteArray::number(r.traffic) + ", \"unrecognised\": " + QByteArray::number(r.unrecognised)
                + ", \"problem\": " + (problem.isEmpty() ? QByteArray("null") : JsonString(problem))
                + ", \"status\": " + QByteArray::number(status) + ",\n   \"summary\": {");
        bool first = true;
        for (int i = 0; i < RuleCount; ++i) {
            const qint64 e = checker.findingCount(Rule(i), Severity::Error);
            const qint64 w = checker.findingCount(Rule(i), Severity::Warning);
            const qint64 n = checker.findingCount(Rule(i), Severity::Note);
            if (e + w + n == 0)
                continue;
            out.put(QByteArray(first ? "" : ", ") + '"' + RuleId(Rule(i))
                    + "\": {\"error\": " + QByteArray::number(e) + ", \"warning\": " + QByteArray::number(w)
                    + ", \"note\": " + QByteArray::number(n) + '}');
            first = false;
        }
        out.put("},\n   \"causes\": [");
        first = true;
        for (const RepeatedCause &c : checker.repeatedCauses()) {
            out.put(QByteArray(first ? "" : ", ") + "{\"rule\": \"" + RuleId(c.rule) + "\", \"leg\": \""
                    + LegName(c.leg) + "\", \"party\": \"" + PartyName(c.party)
                    + "\", \"count\": " + QByteArray::number(c.count)
                    + ", \"sentence\": " + JsonString(c.sentence.toLatin1()) + '}');
            first = false;
        }
        out.put("],\n   \"methods\": [");
        first = true;
        for (int m = 0; m < checker.methodCount(); ++m) {
            const MethodStats &st = checker.methodStats(m);
            if (st.count == 0)
                continue;
            auto h = [](const DurationHistogram &d) {
                return "{\"median_us\": " + QByteArray::number(d.quantile(0.5))
                    + ", \"p95_us\": " + QByteArray::number(d.quantile(0.95))
                    + ", \"max_us\": " + QByteArray::number(d.max()) + '}';
            };
            out.put(QByteArray(first ? "\n" : ",\n") + "    {\"method\": " + JsonString(checker.methodName(m))
                    + ", \"count\": " + QByteArray::number(st.count)
                    + ", \"errors\": " + QByteArray::number(st.errors) + ", \"to_ack\": " + h(st.toAck)
                    + ", \"to_done\": " + h(st.toDone) + '}');
            first = false;
        }
        out.put(QByteArray(first ? "]" : "\n   ]") + ",\n   \"legs\": {");
        for (int l = 0; l < LegCount; ++l) {
            const LegTotals &t = checker.totals(Leg(l));
            out.put(QByteArray(l ? ", " : "") + '"' + LegName(Leg(l))
                    + "\": {\"to_server\": " + QByteArray::number(t.linesToServer)
                    + ", \"from_server\": " + QByteArray::number(t.linesFromServer) + ", \"commands\": "
                    + QByteArray::number(t.commands) + ", \"completed\": " + QByteArray::number(t.completed)
                    + ", \"aborted\": " + QByteArray::number(t.aborted) + ", \"error_lines\": "
                    + QByteArray::number(t.errorLines) + ", \"open\": " + QByteArray::number(t.open)
                    + ", \"findings\": " + QByteArray::number(t.findings) + '}');
        }
        out.put("}}");
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

    out.put(name + ": " + FormatName(r.format) + " log, " + QByteArray::number(r.lines) + " lines, "
            + QByteArray::number(r.traffic) + " protocol lines, profile " + ProfileName(opt.rules.profile)
            + '\n');
    if (r.unrecognised)
        out.put("  " + QByteArray::number(r.unrecognised)
                + " lines neither traffic nor log text (skipped)\n");
    if (checker.findingCount() == 0) {
        out.put("  no findings\n");
    } else {
        out.put("  findings by rule:\n");
        for (int i = 0; i < RuleCount; ++i) {
            const qint64 e = checker.findingCount(Rule(i), Severity::Error);
            const qint64 w = checker.findingCount(Rule(i), Severity::Warning);
            const qint64 n = checker.findingCount(Rule(i), Severity::Note);
            if (e + w + n == 0)
                continue;
            QByteArray row = QByteArray("    ") + QByteArray(RuleId(Rule(i))).leftJustified(16);
            row += QByteArray::number(e) + " error" + (e == 1 ? "" : "s") + ", " + QByteArray::number(w)
                + " warning" + (w == 1 ? "" : "s") + ", " + QByteArray::number(n) + " note"
                + (n == 1 ? "" : "s") + '\n';
            out.put(row);
        }
    }
    WhatToFix(checker, out);
    bool header = false;
    for (int m = 0; m < checker.methodCount(); ++m) {
        const MethodStats &st = checker.methodStats(m);
        if (st.count == 0)
            continue;
        if (!header) {
            out.put("  timing per method (ms)       count  errors   '&' median    p95    max   '%' median    "
                    "p95    max\n");
            header = true;
        }
        char buf[256];
        std::snprintf(buf, sizeof buf, "    %-26.26s %7lld %7lld %12s %6s %6s %12s %6s %6s\n",
                      checker.methodName(m).constData(), (long long)st.count, (long long)st.errors,
                      Ms(st.toAck.quantile(0.5)).constData(), Ms(st.toAck.quantile(0.95)).constData(),
                      Ms(st.toAck.max()).constData(), Ms(st.toDone.quantile(0.5)).constData(),
                      Ms(st.toDone.quantile(0.95)).constData(), Ms(st.toDone.max()).constData());
        out.put(buf);
    }
    for (int l = 0; l < LegCount; ++l) {
        const LegTotals &t = checker.totals(Leg(l));
        if (t.linesToServer + t.linesFromServer == 0)
            continue;
        char buf[256];
        std::snprintf(buf, sizeof buf,
                      "  %s leg: %lld lines to the server, %lld from it; %lld commands, %lld completed, "
                      "%lld aborted, %lld error lines, %d open; %lld findings\n",
                      LegName(Leg(l)), (long long)t.linesToServer, (long long)t.linesFromServer,
                      (long long)t.commands, (long long)t.completed, (long long)t.aborted,
                      (long long)t.errorLines, t.open, (long long)t.findings);
        out.put(buf);
    }
    const QVector<ErrorSeen> errs = checker.errorsSeen();
    if (!errs.isEmpty()) {
        out.put("  errors reported by the server:\n");
        for (const ErrorSeen &e : errs) {
            const ErrorDecoding d = DecodeErrorNumber(e.number);
            const char *meaning = SeverityMeaning(e.severity);
            char buf[320];
            std::snprintf(buf, sizeof buf, "    %04d severity %s (%s), %s%s%s%s: %lld\n", e.number,
                          e.severity < 0 ? "?" : QByteArray::number(e.severity).constData(),
                          meaning ? meaning : "invalid", d.owner, d.text ? ", \"" : "", d.text ? d.text : "",
                          d.text ? "\"" : "", (long long)e.count);
            out.put(buf);
            if (e.severity >= 0 && NeedsClearAllErrors(e.severity, opt.rules))
                out.put("      needs ClearAllErrors\n");
        }
    }
    return status;
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

QString RulesHelp()
{
    QString s = QStringLiteral("\nRules (switch with --enable/--disable RULE):\n");
    for (int i = 0; i < RuleCount; ++i) {
        const RuleInfo &info = InfoFor(Rule(i));
        s += QStringLiteral("  %1 %2\n").arg(QLatin1String(info.id), -16).arg(QLatin1String(info.summary));
    }
    s += QStringLiteral(
        "\nProfiles: 1.4.3 (the standard's text: severity 3 and 9 force ClearAllErrors),\n"
        "  nist (the NIST suite's reading: severity 2 and up, severity 0 invalid),\n"
        "  2.x (lenient: event commands may carry command tags; knows the 2.x methods).\n"
        "\nInput: Torvane's saved traffic logs, NIST client and server logs, and transcripts\n"
        "  whose lines start with \"C:\" or \"S:\"; the format is recognised from the content.\n"
        "  A NIST log or a transcript begins at the connection, outside a session (a\n"
        "  transcript inside one with --mid-session); a Torvane log at its connect line.\n"
        "\nExit status: 0 nothing at the --fail-on level, 1 something is,\n"
        "  2 a file cannot be read, is no traffic log or ends mid-line.\n");
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks saved I++ DME traffic against the protocol's transaction rules."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help, with the rules."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Shows the version."));
    const QCommandLineOption profile(QStringLiteral("profile"),
                                     QStringLiteral("Reading of the protocol: 1.4.3 (default), nist or 2.x."),
                                     QStringLiteral("name"), QStringLiteral("1.4.3"));
    const QCommandLineOption enable(QStringLiteral("enable"), QStringLiteral("Checks RULE (repeatable)."),
                                    QStringLiteral("RULE"));
    const QCommandLineOption disable(
        QStringLiteral("disable"),
        QStringLiteral("Does not check RULE (repeatable; \"all\" for every rule)."), QStringLiteral("RULE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Writes a JSON report instead of text."));
    const QCommandLineOption failOn(
        QStringLiteral("fail-on"),
        QStringLiteral("Lowest severity that makes the exit status 1: error (default), "
                       "warning or note."),
        QStringLiteral("level"), QStringLiteral("error"));
    const QCommandLineOption maxPerRule(
        QStringLiteral("max-per-rule"),
        QStringLiteral("Prints at most N findings of each rule (all are counted)."), QStringLiteral("N"));
    const QCommandLineOption explain(
        QStringLiteral("explain"),
        QStringLiteral("Explains RULE: who breaks it, what it leads to, what to change."),
        QStringLiteral("RULE"));
    const QCommandLineOption midSession(QStringLiteral("mid-session"),
                                        QStringLiteral("Transcripts begin inside a session."));
    parser.addOptions(
        {help, version, profile, enable, disable, json, failOn, maxPerRule, explain, midSession});
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
        std::fputs(qPrintable(parser.helpText() + RulesHelp() + CatalogueHelp()), stdout);
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
    const auto p = ProfileFromName(parser.value(profile).toLatin1());
    if (!p)
        return usageError(
            QStringLiteral("unknown profile: %1 (1.4.3, nist or 2.x)").arg(parser.value(profile)));
    opt.rules = RuleSet(*p);
    for (const QString &id : parser.values(disable)) {
        if (id.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
            opt.rules.enabled.fill(false);
            continue;
        }
        const auto r = RuleFromId(id.toLatin1());
        if (!r)
            return usageError(QStringLiteral("unknown rule: %1").arg(id));
        opt.rules.set(*r, false);
    }
    for (const QString &id : parser.values(enable)) {
        const auto r = RuleFromId(id.toLatin1());
        if (!r)
            return usageError(QStringLiteral("unknown rule: %1").arg(id));
        opt.rules.set(*r, true);
    }
    const auto level = SeverityFromName(parser.value(failOn).toLatin1());
    if (!level)
        return usageError(
            QStringLiteral("--fail-on takes error, warning or note, not %1").arg(parser.value(failOn)));
    opt.failOn = *level;
    opt.json = parser.isSet(json);
    opt.read.midSession = parser.isSet(midSession);
    if (parser.isSet(maxPerRule)) {
        bool ok = false;
        opt.maxPerRule = parser.value(maxPerRule).toLongLong(&ok);
        if (!ok || opt.maxPerRule < 0)
            return usageError(QStringLiteral("--max-per-rule takes a count"));
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
        const int s = CheckFile(f, opt, out, first);
        first = false;
        status = qMax(status, s);
    }
    if (opt.json)
        out.put("\n ], \"status\": " + QByteArray::number(status) + "}\n");
    out.flush();
    return status;
}
