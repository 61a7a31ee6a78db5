// The inspector's report: one HTML page with the findings, each with its
// line and the lines around it, the rule's explanation and the ladder of the
// transactions around it, the timing statistics and the ladder picture (PNGs
// inside the page), so that it opens in any browser as a single file and
// reads without the traffic log.

#include "app/safesave.h"
#include "inspect/inspectormodels.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"
#include "inspect/timeline.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>

#include <array>
#include <optional>
#include <vector>

namespace inspect {

namespace {

QString Cell(const QString &text, const char *tag = "td")
{
    return QStringLiteral("<%1>%2</%1>").arg(QLatin1String(tag), text.toHtmlEscaped());
}

QString Row(const QStringList &cells, const char *tag = "td")
{
    QString out = QStringLiteral("<tr>");
    for (const QString &c : cells)
        out += Cell(c, tag);
    return out + QStringLiteral("</tr>\n");
}

QString ImageTag(const QImage &picture, const QString &alt)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    return QStringLiteral("<img alt=\"%1\" src=\"data:image/png;base64,").arg(alt.toHtmlEscaped())
        + QString::fromLatin1(png.toBase64()) + QStringLiteral("\">");
}

QString RuleAnchor(check::Rule rule)
{
    return QStringLiteral("rule-") + QLatin1String(check::RuleId(rule));
}

QString Side(const FindingRow &r)
{
    if (!r.known)
        return QLatin1String(check::PartyName(r.finding.party));
    if (r.own)
        return QStringLiteral("this program");
    return r.fromServer ? QStringLiteral("server") : QStringLiteral("client");
}

// The row of the finding's transaction near its time, -1 for none.
int FindingRowInLadder(const Ladder &ladder, const FindingRow &f)
{
    if (ladder.count() == 0)
        return -1;
    const int at = ladder.rowAtOrAfter(f.timeUs);
    for (int i = qMin(at, ladder.count() - 1); i >= 0 && i > at - 64; --i) {
        const TxnRow &r = ladder.row(i);
        if (r.leg == f.finding.leg && !f.finding.tag.isEmpty() && r.tag() == f.finding.tag)
            return i;
    }
    return -1;
}

} // namespace

QString EscapedLine(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const uchar u = uchar(c);
        if (u == '\\')
            out += QStringLiteral("\\\\");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u >= 0x7f)
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            out += QLatin1Char(c);
    }
    return out;
}

QString InspectorWindow::reportHtml() const
{
    const check::ProtocolChecker &c = ins->checker();
    QString h;
    h += QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
        "<title>Torvane inspection report</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse;margin:0.5em 0}"
        "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left}th{background:#eee}"
        "pre{background:#f6f6f6;padding:4px;margin:0.3em 0}pre .at{background:#ffe3b0;font-weight:bold}"
        ".finding{border-top:1px solid #ccc;margin-top:1em;padding-top:0.3em}.why{color:#444}"
        "tr.followon td{color:#555}tr.followon td:nth-child(6){padding-left:2em}"
        ".finding.followon{margin-left:2em}");
    for (check::Severity s : {check::Severity::Error, check::Severity::Warning, check::Severity::Note})
        h += QStringLiteral(".%1{color:%2}")
                 .arg(QLatin1String(check::SeverityName(s)), SeverityColour(s).name());
    h += QStringLiteral("\n</style></head><body>\n<h1>Torvane inspection report</h1>\n");
    QStringList off;
    for (int r = 0; r < check::RuleCount; ++r)
        if (!ins->rules().on(check::Rule(r)))
            off << QLatin1String(check::RuleId(check::Rule(r)));
    h +=
        QStringLiteral("<p>Written %1. Profile %2%3. %4 lines checked.</p>\n")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODate),
                 QLatin1String(check::ProfileName(ins->rules().profile)),
                 off.isEmpty() ? QString() : QStringLiteral(", rules off: ") + off.join(QStringLiteral(", ")))
            .arg(c.linesFed());

    if (c.findingCount() > 0) {
        h += QStringLiteral("<h2>Contents</h2>\n<ul>\n");
        for (int r = 0; r < check::RuleCount; ++r) {
            const check::Rule rule = check::Rule(r);
            qint64 n = 0;
            for (int sev = 0; sev < 3; ++sev)
                n += c.findingCount(rule, check::Severity(sev));
            if (n)
                h += QStringLiteral("<li><a href=\"#%1\">%2</a>: %3, %4</li>\n")
                         .arg(RuleAnchor(rule), QLatin1String(check::RuleId(rule)),
                              CountText(n, "finding", "findings"),
                              QString::fromLatin1(check::InfoFor(rule).summary).toHtmlEscaped());
        }
        h += QStringLiteral("<li><a href=\"#timing\">Timing per method</a></li>\n"
                            "<li><a href=\"#ladder\">Ladder</a></li>\n</ul>\n");
    }
    h += QStringLiteral("<h2>Totals</h2>\n<table>\n");
    h += Row({QStringLiteral("Leg"), QStringLiteral("Lines to server"), QStringLiteral("Lines from server"),
              QStringLiteral("Commands"), QStringLiteral("Completed"), QStringLiteral("Aborted"),
              QStringLiteral("Open"), QStringLiteral("Lines no command"),
              QStringLiteral("Server lines matching none"), QStringLiteral("Error lines"),
              QStringLiteral("Findings")},
             "th");
    for (check::Leg leg : {check::Leg::Operator, check::Leg::Relay}) {
        const check::LegTotals &t = c.totals(leg);
        h += Row({LegTitle(leg), QString::number(t.linesToServer), QString::number(t.linesFromServer),
                  QString::number(t.commands), QString::number(t.completed), QString::number(t.aborted),
                  QString::number(t.open), QString::number(t.malformed), QString::number(t.stray),
                  QString::number(t.errorLines), QString::number(t.findings)});
    }
    h += QStringLiteral("</table>\n");

    h += QStringLiteral("<h2>Findings by severity and rule</h2>\n");
    if (c.findingCount() == 0) {
        h += QStringLiteral("<p>No findings.</p>\n");
    } else {
        h += QStringLiteral("<table>\n")
            + Row({QStringLiteral("Severity"), QStringLiteral("Rule"), QStringLiteral("Root causes"),
                   QStringLiteral("Follow-ons"), QStringLiteral("Rule says")},
                  "th");
        // The rows of the pane's summary, worst first.
        const FindingSummaryModel summary(ins);
        for (int row = 0; row < summary.rowCount(); ++row) {
            const FindingSummaryModel::Entry &e = *summary.rowAt(row);
            const QLatin1String severity(check::SeverityName(e.severity));
            h += QStringLiteral("<tr class=\"%1\">").arg(severity) + Cell(severity)
                + Cell(QLatin1String(check::RuleId(e.rule))) + Cell(QString::number(e.count))
                + Cell(QString::number(e.followOns)) + Cell(QLatin1String(check::InfoFor(e.rule).summary))
                + QStringLiteral("</tr>\n");
        }
        h += QStringLiteral("</table>\n<h2>What to fix</h2>\n");
        for (const check::RepeatedCause &cause : c.repeatedCauses())
            h += QStringLiteral("<p>%1</p>\n").arg(cause.sentence.toHtmlEscaped());
        h += QStringLiteral("<table>\n")
            + Row({QStringLiteral("Rule"), QStringLiteral("Count"), QStringLiteral("At fault"),
                   QStringLiteral("What it leads to"), QStringLiteral("What to change")},
                  "th");
        for (int r = 0; r < check::RuleCount; ++r) {
            const check::Rule rule = check::Rule(r);
            const qint64 client = c.findingCount(rule, check::Party::Client);
            const qint64 server = c.findingCount(rule, check::Party::Server);
            if (client + server == 0)
                continue;
            QStringList side;
            if (client)
                side << QStringLiteral("client %1").arg(client);
            if (server)
                side << QStringLiteral("server %1").arg(server);
            const check::Explanation &e = check::RuleExplanation(rule);
            h += Row({QLatin1String(check::RuleId(rule)), QString::number(client + server),
                      side.join(QStringLiteral(", ")), QLatin1String(e.effect), QLatin1String(e.fix)});
        }
        h += QStringLiteral("</table>\n<h2>Findings</h2>\n");
        if (ins->droppedFindings())
            h += QStringLiteral("<p>The last %1 findings; %2 older ones are counted above only.</p>\n")
                     .arg(ins->findingsEnd() - ins->findingsBegin())
                     .arg(ins->droppedFindings());
        if (const qint64 unlisted = ins->unlistedFindings())
            h += QStringLiteral("<p>%1 more findings are counted above only: their rule gave more than %2 a "
                                "second.</p>\n")
                     .arg(unlisted)
                     .arg(LiveInspector::FloodPerSecond);
        h += QStringLiteral("<table>\n")
            + Row({QStringLiteral("Time"), QStringLiteral("Severity"), QStringLiteral("Rule"),
                   QStringLiteral("Leg"), QStringLiteral("At fault"), QStringLiteral("Finding"),
                   QStringLiteral("Log line")},
                  "th");
        // Every kept finding, whatever the pane lists at the moment, oldest
        // first; the ones that follow from a root cause right under it.
        const FindingModel all(ins);
        const auto cellsOf = [&all](const QModelIndex &parent, int row) {
            QStringList cells;
            for (int col = 0; col < FindingModel::ColumnCount; ++col)
                cells << all.index(row, col, parent).data().toString();
            return cells;
        };
        for (int row = all.rowCount() - 1; row >= 0; --row) {
            h += Row(cellsOf(QModelIndex(), row));
            const QModelIndex root = all.index(row, 0);
            for (int child = 0; child < all.rowCount(root); ++child) {
                QStringList cells = cellsOf(root, child);
                cells[FindingModel::ColSentence].prepend(QStringLiteral("\u2192 "));
                h += Row(cells).replace(QStringLiteral("<tr>"), QStringLiteral("<tr class=\"followon\">"));
            }
        }
        h += QStringLiteral("</table>\n");
        h += findingDetailsHtml();
    }

    h += QStringLiteral("<h2 id=\"timing\">Timing per method</h2>\n<table>\n");
    QStringList head;
    for (int col = 0; col < StatsModel::ColumnCount; ++col)
        head << statsModel->headerData(col, Qt::Horizontal).toString();
    h += Row(head, "th");
    statsModel->refresh();
    for (int row = 0; row < statsModel->rowCount(); ++row) {
        QStringList cells;
        for (int col = 0; col < StatsModel::ColumnCount; ++col)
            cells << statsModel->text(row, col);
        h += Row(cells);
    }
    h += QStringLiteral("</table>\n");

    // As tall as the newest rows need, up to a screenful.
    timeline->ladder().update();
    const int rows = qBound(1, timeline->ladder().count(), 30);
    const QImage picture = timeline->render(QSize(
        1000, LadderMetrics::LegendHeight + LadderMetrics::AxisHeight + rows * LadderMetrics::RowHeight + 6));
    h += QStringLiteral("<h2 id=\"ladder\">Ladder</h2>\n<p>The newest transactions, %1 across: a row per "
                        "transaction, oldest at the top, a bar from its command to its '%', a black tick "
                        "at its '&amp;'; the colours as the legend in the picture says.</p>\n")
             .arg(FormatDuration(timeline->span()));
    h += ImageTag(picture, QStringLiteral("Ladder of the transactions")) + QStringLiteral("\n");
    h += QStringLiteral("</body></html>\n");
    return h;
}

// Each kept finding by rule: its line and two lines either side from the
// traffic log, the side at fault, what the rule is for, and the ladder of
// the transactions around it. The pictures stop at a bound, so that a flood
// of findings makes no page too large to open.
QString InspectorWindow::findingDetailsHtml() const
{
    constexpr int ContextLines = 2, MaxPictures = 100, MaxDetailedPerRule = 200;
    Ladder &ladder = timeline->ladder();
    ladder.update();
    QString h;
    int pictures = 0;
    std::array<std::vector<quint64>, check::RuleCount> byRule;
    for (quint64 s = ins->findingsBegin(); s < ins->findingsEnd(); ++s)
        byRule[size_t(ins->findingRow(s).finding.rule)].push_back(s);
    for (int r = 0; r < check::RuleCount; ++r) {
        const check::Rule rule = check::Rule(r);
        if (byRule[size_t(r)].empty())
            continue;
        const check::Explanation &x = check::RuleExplanation(rule);
        h += QStringLiteral("<h2 id=\"%1\">%2: %3</h2>\n<p class=\"why\">%4<br>What it leads to: %5<br>"
                            "What to change: %6</p>\n")
                 .arg(RuleAnchor(rule), QLatin1String(check::RuleId(rule)),
                      QString::fromLatin1(check::InfoFor(rule).summary).toHtmlEscaped(),
                      QString::fromLatin1(x.who).toHtmlEscaped(),
                      QString::fromLatin1(x.effect).toHtmlEscaped(),
                      QString::fromLatin1(x.fix).toHtmlEscaped());
        const std::vector<quint64> &serials = byRule[size_t(r)];
        if (serials.size() > size_t(MaxDetailedPerRule))
            h += QStringLiteral("<p>The first %1 of %2 kept findings are shown in full.</p>\n")
                     .arg(MaxDetailedPerRule)
                     .arg(serials.size());
        for (size_t i = 0; i < serials.size() && i < size_t(MaxDetailedPerRule); ++i) {
            const FindingRow &f = ins->findingRow(serials[i]);
            h += QStringLiteral("<div class=\"finding%8\"><p><b class=\"%1\">%2</b> %3, %4 leg, at fault: "
                                "<b>%5</b>, %6</p>\n<p>%7</p>\n")
                     .arg(QLatin1String(check::SeverityName(f.finding.severity)),
                          QLatin1String(check::SeverityName(f.finding.severity)), TimeText(ins, f.timeUs),
                          LegTitle(f.finding.leg), Side(f),
                          f.logLine >= 0 ? QStringLiteral("log line %1").arg(f.logLine + 1)
                                         : LogLineText(f.logLine),
                          f.finding.text.toHtmlEscaped(),
                          f.followOn() ? QStringLiteral(" followon") : QString());
            if (f.logLine >= 0 && logLineBytes) {
                h += QStringLiteral("<pre>");
                for (int l = f.logLine - ContextLines; l <= f.logLine + ContextLines; ++l) {
                    if (l < 0)
                        continue;
                    const std::optional<QByteArray> bytes = logLineBytes(l);
                    if (!bytes)
                        continue;
                    const QString text = QStringLiteral("%1  %2").arg(l + 1, 6).arg(EscapedLine(*bytes));
                    h += l == f.logLine
                        ? QStringLiteral("<span class=\"at\">%1</span>\n").arg(text.toHtmlEscaped())
                        : text.toHtmlEscaped() + QLatin1Char('\n');
                }
                h += QStringLiteral("</pre>\n");
            }
            const int row = FindingRowInLadder(ladder, f);
            if (pictures < MaxPictures && ladder.count() > 0 && f.timeUs >= 0) {
                ++pictures;
                h += ImageTag(LadderAround(ladder, f.timeUs, 4, 4, 900, row),
                              QStringLiteral("The transactions around this finding"))
                    + QLatin1Char('\n');
            }
            h += QStringLiteral("</div>\n");
        }
    }
    if (pictures == MaxPictures)
        h += QStringLiteral("<p>Ladder pictures are shown for the first %1 findings.</p>\n").arg(MaxPictures);
    return h;
}

bool InspectorWindow::saveReport()
{
    const QString path = askSaveFileName(QStringLiteral("Save inspection report"),
                                         QStringLiteral("HTML files|*.html;*.htm|All files|*.*"));
    if (path.isEmpty())
        return false;
    QString error;
    if (!SaveFileAtomically(path, reportHtml().toUtf8(), &error)) {
        hooks.message(QMessageBox::Critical, QStringLiteral("Torvane"),
                      QStringLiteral("The report could not be saved to %1: %2.").arg(path, error));
        return false;
    }
    return true;
}

} // namespace inspect
