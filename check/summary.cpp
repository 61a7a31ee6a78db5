#include "check/summary.h"

#include "check/catalogue.h"

#include <QCommandLineParser>

namespace check {

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

RuleOptions::RuleOptions()
    : profile(QStringLiteral("profile"),
              QStringLiteral("Reading of the protocol: 1.4.3 (default), nist or 2.x."),
              QStringLiteral("name"), QStringLiteral("1.4.3")),
      enable(QStringLiteral("enable"), QStringLiteral("Checks RULE (repeatable)."), QStringLiteral("RULE")),
      disable(QStringLiteral("disable"),
              QStringLiteral("Does not check RULE (repeatable; \"all\" for every rule)."),
              QStringLiteral("RULE")),
      failOn(QStringLiteral("fail-on"),
             QStringLiteral("Lowest severity that makes the exit status 1: error (default), "
                            "warning or note."),
             QStringLiteral("level"), QStringLiteral("error"))
{ }

bool RuleOptions::read(const QCommandLineParser &parser, Options &opt, QString *error) const
{
    const auto p = ProfileFromName(parser.value(profile).toLatin1());
    if (!p) {
        *error = QStringLiteral("unknown profile: %1 (1.4.3, nist or 2.x)").arg(parser.value(profile));
        return false;
    }
    opt.rules = RuleSet(*p);
    for (const QString &id : parser.values(disable)) {
        if (id.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
            opt.rules.enabled.fill(false);
            continue;
        }
        const auto r = RuleFromId(id.toLatin1());
        if (!r) {
            *error = QStringLiteral("unknown rule: %1").arg(id);
            return false;
        }
        opt.rules.set(*r, false);
    }
    for (const QString &id : parser.values(enable)) {
        const auto r = RuleFromId(id.toLatin1());
        if (!r) {
            *error = QStringLiteral("unknown rule: %1").arg(id);
            return false;
        }
        opt.rules.set(*r, true);
    }
    const auto level = SeverityFromName(parser.value(failOn).toLatin1());
    if (!level) {
        *error = QStringLiteral("--fail-on takes error, warning or note, not %1").arg(parser.value(failOn));
        return false;
    }
    opt.failOn = *level;
    return true;
}

// Each rule found once, with its count, the side at fault and what to
// change; first the causes that explain many findings at once.
void WhatToFix(const ProtocolChecker &checker, Output &out)
{
    QByteArray text;
    for (const RepeatedCause &c : checker.repeatedCauses())
        text += "    " + c.sentence.toLatin1() + '\n';
    for (int i = 0; i < RuleCount; ++i) {
        const Rule rule = Rule(i);
        // Follow-ons go away with their root cause.
        const qint64 client =
            checker.findingCount(rule, Party::Client) - checker.followOnCount(rule, Party::Client);
        const qint64 server =
            checker.findingCount(rule, Party::Server) - checker.followOnCount(rule, Party::Server);
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

QString RulesHelp()
{
    QString s = QStringLiteral("\nRules (switch with --enable/--disable RULE):\n");
    for (int i = 0; i < RuleCount; ++i) {
        const RuleInfo &info = InfoFor(Rule(i));
        s += QStringLiteral("  %1 %2\n").arg(QLatin1String(info.id), -16).arg(QLatin1String(info.summary));
    }
    s += QStringLiteral("\nProfiles: 1.4.3 (the standard's text: severity 3 and 9 force ClearAllErrors),\n"
                        "  nist (the NIST suite's reading: severity 2 and up, severity 0 invalid),\n"
                        "  2.x (lenient: event commands may carry command tags; knows the 2.x methods).\n");
    return s;
}

QByteArray FindingJson(const Finding &f, const char *lineKey)
{
    const QByteArray text = f.text.toLatin1();
    const QByteArray key = QByteArray("\"") + lineKey + "\": ";
    QByteArray cause;
    if (f.isFollowOn())
        cause = ", \"cause\": {\"rule\": \"" + QByteArray(RuleId(f.causeRule)) + "\", " + key
            + QByteArray::number(f.causeLine) + '}';
    return "    {" + key + QByteArray::number(f.line) + ", \"severity\": \"" + SeverityName(f.severity)
        + "\", \"rule\": \"" + RuleId(f.rule) + "\", \"leg\": \"" + LegName(f.leg)
        + "\", \"tag\": " + JsonString(f.tag) + ", \"related\": " + QByteArray::number(f.relatedLine)
        + ", \"party\": \"" + PartyName(f.party) + "\", \"text\": " + JsonString(text) + cause + "}";
}

void FindingGroups::add(const Finding &f)
{
    // A follow-on joins its root cause's group while that waits; anything
    // else starts a group.
    const auto root = f.isFollowOn() ? roots_.constFind({f.causeLine, int(f.causeRule)}) : roots_.constEnd();
    if (root != roots_.constEnd()) {
        groups_[size_t(root.value() - firstGroup_)].followOns.append(f);
    } else {
        if (!f.isFollowOn())
            roots_.insert({f.line, int(f.rule)}, firstGroup_ + qint64(groups_.size()));
        groups_.push_back({f, {}});
    }
    ++waiting_;
    while (waiting_ > window_)
        printOldest();
}

void FindingGroups::flush()
{
    while (!groups_.empty())
        printOldest();
}

void FindingGroups::printOldest()
{
    Group g = std::move(groups_.front());
    groups_.pop_front();
    const qint64 number = firstGroup_++;
    waiting_ -= 1 + g.followOns.size();
    if (!g.head.isFollowOn()) {
        const auto root = roots_.constFind({g.head.line, int(g.head.rule)});
        if (root != roots_.constEnd() && root.value() == number)
            roots_.erase(root);
    }
    print_(g.head, false);
    for (const Finding &f : g.followOns)
        print_(f, true);
}

int RunStatus(const ReadResult &r, const ProtocolChecker &checker, Severity failOn, QByteArray *problem)
{
    int status = 0;
    if (r.readError) {
        *problem = "cannot read: " + r.error.toLocal8Bit();
        status = 2;
    } else if (r.format == LogFormat::Binary || r.format == LogFormat::Unknown) {
        *problem = r.error.toLocal8Bit();
        status = 2;
    } else if (r.truncated) {
        *problem = "truncated: the last line (" + QByteArray::number(r.lines) + ") has no line end";
        status = 2;
    }
    qint64 failing = 0;
    for (int s = int(failOn); s <= int(Severity::Error); ++s)
        failing += checker.findingCount(Severity(s));
    if (status == 0 && failing > 0)
        status = 1;
    if (status != 2 && r.truncated)
        status = 2;
    return status;
}

static QByteArray Counted(qint64 n, const char *one, const char *many)
{
    return QByteArray::number(n) + ' ' + (n == 1 ? one : many);
}

static qint64 FollowOns(const ProtocolChecker &checker, Rule r)
{
    return checker.followOnCount(r, Party::Client) + checker.followOnCount(r, Party::Server);
}

// Each rule that has findings, with its counts by severity.
template <typename F> static void ForEachRuleFound(const ProtocolChecker &checker, F &&f)
{
    for (int i = 0; i < RuleCount; ++i) {
        const qint64 e = checker.findingCount(Rule(i), Severity::Error);
        const qint64 w = checker.findingCount(Rule(i), Severity::Warning);
        const qint64 n = checker.findingCount(Rule(i), Severity::Note);
        if (e + w + n > 0)
            f(Rule(i), e, w, n);
    }
}

void PutJsonTail(Output &out, const ProtocolChecker &checker, const ReadResult &r, const QByteArray &problem,
                 int status, bool firstFinding)
{
    out.put(QByteArray(firstFinding ? "]" : "\n  ]") + ",\n   \"format\": \"" + FormatName(r.format)
            + "\", \"lines\": " + QByteArray::number(r.lines) + ", \"traffic\": "
            + QByteArray::number(r.traffic) + ", \"unrecognised\": " + QByteArray::number(r.unrecognised)
            + ", \"problem\": " + (problem.isEmpty() ? QByteArray("null") : JsonString(problem))
            + ", \"status\": " + QByteArray::number(status) + ",\n   \"summary\": {");
    bool first = true;
    ForEachRuleFound(checker, [&](Rule r, qint64 e, qint64 w, qint64 n) {
        out.put(QByteArray(first ? "" : ", ") + '"' + RuleId(r) + "\": {\"error\": " + QByteArray::number(e)
                + ", \"warning\": " + QByteArray::number(w) + ", \"note\": " + QByteArray::number(n)
                + ", \"follow_ons\": " + QByteArray::number(FollowOns(checker, r)) + '}');
        first = false;
    });
    const qint64 followOns = checker.followOnCount();
    out.put("},\n   \"root_causes\": " + QByteArray::number(checker.findingCount() - followOns)
            + ", \"follow_ons\": " + QByteArray::number(followOns) + ",\n   \"causes\": [");
    first = true;
    for (const RepeatedCause &c : checker.repeatedCauses()) {
        out.put(QByteArray(first ? "" : ", ") + "{\"rule\": \"" + RuleId(c.rule) + "\", \"leg\": \""
                + LegName(c.leg) + "\", \"party\": \"" + PartyName(c.party) + "\", \"count\": "
                + QByteArray::number(c.count) + ", \"sentence\": " + JsonString(c.sentence.toLatin1()) + '}');
        first = false;
    }
    out.put("],\n   \"methods\": [");
    first = true;
    for (int m = 0; m < checker.methodCount(); ++m) {
        const MethodStats &st = checker.methodStats(m);
        if (st.count == 0)
            continue;
        auto h = [](const DurationHistogram &d) {
            return "{\"median_us\": " + QByteArray::number(d.quantile(0.5)) + ", \"p95_us\": "
                + QByteArray::number(d.quantile(0.95)) + ", \"max_us\": " + QByteArray::number(d.max()) + '}';
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
                + "\": {\"to_server\": " + QByteArray::number(t.linesToServer) + ", \"from_server\": "
                + QByteArray::number(t.linesFromServer) + ", \"commands\": " + QByteArray::number(t.commands)
                + ", \"completed\": " + QByteArray::number(t.completed) + ", \"aborted\": "
                + QByteArray::number(t.aborted) + ", \"malformed\": " + QByteArray::number(t.malformed)
                + ", \"stray\": " + QByteArray::number(t.stray) + ", \"error_lines\": "
                + QByteArray::number(t.errorLines) + ", \"open\": " + QByteArray::number(t.open)
                + ", \"findings\": " + QByteArray::number(t.findings) + '}');
    }
    out.put("}}");
}

void PutSummary(Output &out, const QByteArray &name, const ProtocolChecker &checker, const ReadResult &r,
                const Options &opt)
{
    out.put(name + ": " + FormatName(r.format) + " log, " + QByteArray::number(r.lines) + " lines, "
            + QByteArray::number(r.traffic) + " protocol lines, profile " + ProfileName(opt.rules.profile)
            + '\n');
    if (r.unrecognised)
        out.put("  " + QByteArray::number(r.unrecognised)
                + " lines neither traffic nor log text (skipped)\n");
    PutSummaryBody(out, checker, opt);
}

void PutSummaryBody(Output &out, const ProtocolChecker &checker, const Options &opt)
{
    if (checker.findingCount() == 0) {
        out.put("  no findings\n");
    } else {
        // The faults first, then what followed from them.
        const qint64 followOns = checker.followOnCount();
        QByteArray head = "  " + Counted(checker.findingCount() - followOns, "fault", "faults");
        if (followOns)
            head += ", " + Counted(followOns, "follow-on", "follow-ons");
        out.put(head + '\n');
        out.put("  findings by rule:\n");
        ForEachRuleFound(checker, [&](Rule r, qint64 e, qint64 w, qint64 n) {
            QByteArray row = QByteArray("    ") + QByteArray(RuleId(r)).leftJustified(16);
            row += Counted(e, "error", "errors") + ", " + Counted(w, "warning", "warnings") + ", "
                + Counted(n, "note", "notes");
            if (const qint64 f = FollowOns(checker, r))
                row += " (" + Counted(f, "follow-on", "follow-ons") + ')';
            out.put(row + '\n');
        });
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
                      "%lld aborted, ",
                      LegName(Leg(l)), (long long)t.linesToServer, (long long)t.linesFromServer,
                      (long long)t.commands, (long long)t.completed, (long long)t.aborted);
        QByteArray row = buf;
        if (t.malformed)
            row += Counted(t.malformed, "malformed line", "malformed lines") + ", ";
        if (t.stray)
            row += Counted(t.stray, "stray reply", "stray replies") + ", ";
        row += Counted(t.errorLines, "error line", "error lines") + ", " + QByteArray::number(t.open)
            + " open; " + Counted(t.findings, "finding", "findings") + '\n';
        out.put(row);
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
}

} // namespace check
