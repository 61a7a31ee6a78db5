// The inspector's report: one HTML page with the findings, the timing
// statistics and the timeline picture (a PNG inside the page), so that it
// opens in any browser as a single file.

#include "app/safesave.h"
#include "inspect/inspectormodels.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"
#include "inspect/timeline.h"

#include <QBuffer>
#include <QDateTime>
#include <QImage>

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

} // namespace

QString InspectorWindow::reportHtml() const
{
    const check::ProtocolChecker &c = ins->checker();
    QString h;
    h += QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
        "<title>Torvane inspection report</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse;margin:0.5em 0}"
        "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left}th{background:#eee}");
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

    h += QStringLiteral("<h2>Totals</h2>\n<table>\n");
    h += Row({QStringLiteral("Leg"), QStringLiteral("Lines to server"), QStringLiteral("Lines from server"),
              QStringLiteral("Commands"), QStringLiteral("Completed"), QStringLiteral("Aborted"),
              QStringLiteral("Open"), QStringLiteral("Error lines"), QStringLiteral("Findings")},
             "th");
    for (check::Leg leg : {check::Leg::Operator, check::Leg::Relay}) {
        const check::LegTotals &t = c.totals(leg);
        h += Row({LegTitle(leg), QString::number(t.linesToServer), QString::number(t.linesFromServer),
                  QString::number(t.commands), QString::number(t.completed), QString::number(t.aborted),
                  QString::number(t.open), QString::number(t.errorLines), QString::number(t.findings)});
    }
    h += QStringLiteral("</table>\n");

    h += QStringLiteral("<h2>Findings by severity and rule</h2>\n");
    if (c.findingCount() == 0) {
        h += QStringLiteral("<p>No findings.</p>\n");
    } else {
        h += QStringLiteral("<table>\n")
            + Row({QStringLiteral("Severity"), QStringLiteral("Rule"), QStringLiteral("Count"),
                   QStringLiteral("Rule says")},
                  "th");
        for (int s = 2; s >= 0; --s)
            for (int r = 0; r < check::RuleCount; ++r)
                if (const qint64 n = c.findingCount(check::Rule(r), check::Severity(s)))
                    h += QStringLiteral("<tr class=\"%1\">")
                             .arg(QLatin1String(check::SeverityName(check::Severity(s))))
                        + Cell(QLatin1String(check::SeverityName(check::Severity(s))))
                        + Cell(QLatin1String(check::RuleId(check::Rule(r)))) + Cell(QString::number(n))
                        + Cell(QLatin1String(check::InfoFor(check::Rule(r)).summary))
                        + QStringLiteral("</tr>\n");
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
                   QStringLiteral("Leg"), QStringLiteral("Line from"), QStringLiteral("Finding"),
                   QStringLiteral("Log line")},
                  "th");
        // Every kept finding, whatever the pane lists at the moment.
        const FindingModel all(ins);
        for (int row = all.rowCount() - 1; row >= 0; --row) {
            QStringList cells;
            for (int col = 0; col < FindingModel::ColumnCount; ++col)
                cells << all.index(row, col).data().toString();
            h += Row(cells);
        }
        h += QStringLiteral("</table>\n");
    }

    h += QStringLiteral("<h2>Timing per method</h2>\n<table>\n");
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

    const QImage picture = timeline->render(QSize(1000, 260));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    h += QStringLiteral("<h2>Timeline</h2>\n<p>The last %1: a bar per transaction from its command to its "
                        "'%', a black mark at its '&amp;', errors in red, open ones in orange.</p>\n")
             .arg(FormatDuration(timeline->span()));
    h += QStringLiteral("<img alt=\"Timeline of the transactions\" src=\"data:image/png;base64,")
        + QString::fromLatin1(png.toBase64()) + QStringLiteral("\">\n");
    h += QStringLiteral("</body></html>\n");
    return h;
}

bool InspectorWindow::saveReport()
{
    const QString path = hooks.saveFileName(QStringLiteral("Save inspection report"),
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
