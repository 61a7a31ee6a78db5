// The inspector in the real window: opened by F9, fed by a real exchange
// between a scripted server and a relay client, its settings and its report.

#include "app/profile.h"
#include "check/logreader.h"
#include "inspect/inspectormodels.h"
#include "inspect/inspectorsettings.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"
#include "inspect/timeline.h"
#include "support/relayrig.h"
#include "log/loggutter.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <QWheelEvent>

using inspect::FindingModel;
using inspect::TransactionModel;

namespace {

int logIndexOf(const FormFixture &f, const QString &line)
{
    return int(f.logLines().indexOf(line));
}

QString cell(QAbstractItemModel *m, int row, int column)
{
    return m->index(row, column).data().toString();
}

// The row of the model whose tag and leg match, -1 for none.
int rowOf(TransactionModel *m, const QString &tag, const QString &leg)
{
    for (int r = 0; r < m->rowCount(); ++r)
        if (cell(m, r, TransactionModel::ColTag) == tag
            && cell(m, r, TransactionModel::ColLeg).startsWith(leg))
            return r;
    return -1;
}

} // namespace

class TestInspectorWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Every byte value comes out printable and back-readable.
    void escapedLines()
    {
        QCOMPARE(inspect::EscapedLine("00001 Home()"), QStringLiteral("00001 Home()"));
        QCOMPARE(inspect::EscapedLine(QByteArray("a\r\n\t\\b\x07\x7f\xe9\0", 10)),
                 QStringLiteral("a\\r\\n\\t\\\\b\\x07\\x7f\\xe9\\x00"));
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = inspect::EscapedLine(all);
        for (QChar c : text)
            QVERIFY(c.unicode() >= 0x20 && c.unicode() < 0x7f);
    }

    // A flood of findings makes a report of bounded size: every one counted,
    // the first ones of each rule in full, pictures up to a bound; the
    // context stops at the log's first line.
    void reportOfAFlood()
    {
        inspect::LiveInspector ins;
        ins.setFloodLimit(0);
        QList<QByteArray> log;
        for (int i = 0; i < 3000; ++i) {
            const QByteArray tag = QByteArray::number(i % 99999 + 1).rightJustified(5, '0');
            for (const QByteArray &line : {tag + " Home()", tag + " &", tag + " # 1\x07", tag + " %"}) {
                const bool out = line.endsWith("()");
                ins.feed(check::Leg::Relay, out ? check::Direction::ToServer : check::Direction::FromServer,
                         line, false, int(log.size()));
                log << line;
            }
        }
        ins.flush();
        inspect::InspectorWindow w(&ins, FormHooks());
        w.logLineBytes = [&log](int line) -> std::optional<QByteArray> {
            return line >= 0 && line < log.size() ? std::optional(log[line]) : std::nullopt;
        };
        const QString html = w.reportHtml();
        QVERIFY(html.contains(QStringLiteral("R-DATA</a>: 3000 findings")));
        QVERIFY(html.contains(QStringLiteral("The first 200 of 3000 kept findings are shown in full")));
        // The data line and the byte that doesn't print: two rules, 200 each.
        QCOMPARE(html.count(QStringLiteral("<div class=\"finding\">")), 400);
        QCOMPARE(html.count(QStringLiteral("data:image/png")), 101); // 100 around findings, the whole ladder
        QVERIFY(html.size() < 16 * 1024 * 1024);
        // The first finding's line is the log's third: two lines before it.
        QVERIFY(html.contains(QStringLiteral("<pre>     1  00001 Home()\n     2  00001 &amp;\n"
                                             "<span class=\"at\">     3  00001 # 1\\x07</span>")));
    }

    // The Rules menu shows each rule's text as written, '&' included.
    void rulesMenuShowsAmpersands()
    {
        FormFixture f;
        f->ShowInspector();
        bool seen = false;
        for (QAction *a : f->inspectorWindow->rulesMenu->actions()) {
            QVERIFY(!a->text().remove(QStringLiteral("&&")).contains(QLatin1Char('&')));
            seen |= a->text().contains(QStringLiteral("'&&'"));
        }
        QVERIFY(seen);
    }

    void f9AndTheButtonOpenIt()
    {
        FormFixture f;
        QVERIFY(QTest::qWaitForWindowExposed(f.form()));
        f->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.form()));
        QVERIFY(!f->inspectorWindow);
        f->EdCurrentCommand->setFocus();
        QTest::keyClick(f->EdCurrentCommand, Qt::Key_F9);
        QVERIFY(f->inspectorWindow);
        QTRY_VERIFY(f->inspectorWindow->isVisible());
        QVERIFY(f->inspectorWindow->isWindow());
        QVERIFY(f->inspectorWindow->windowTitle().contains(QStringLiteral("0 open, 0 findings")));
        f->inspectorWindow->close();
        QVERIFY(!f->inspectorWindow->isVisible());
        f->BtInspect->click();
        QTRY_VERIFY(f->inspectorWindow->isVisible());
        // The button sits in free space: it overlaps no other control.
        const QRect b = f->BtInspect->geometry();
        for (QWidget *w : f->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            if (w != f->BtInspect && w->isVisible() && !w->isWindow())
                QVERIFY2(!w->geometry().intersects(b), qPrintable(w->objectName()));
        // Every control of the inspector has a name for assistive technology
        // (the parts that Qt builds into a control excepted).
        auto internal = [](QWidget *w) {
            for (QWidget *p = w->parentWidget(); p && !p->isWindow(); p = p->parentWidget())
                if (qobject_cast<QAbstractItemView *>(p) || qobject_cast<QTabBar *>(p)
                    || qobject_cast<QLineEdit *>(p) || qobject_cast<QComboBox *>(p))
                    return true;
            return false;
        };
        int controls = 0;
        for (QWidget *w : f->inspectorWindow->findChildren<QWidget *>()) {
            if (internal(w) || qobject_cast<QTabBar *>(w))
                continue;
            if (qobject_cast<QAbstractButton *>(w) || qobject_cast<QComboBox *>(w)
                || qobject_cast<QLineEdit *>(w) || qobject_cast<QAbstractItemView *>(w)
                || qobject_cast<QTabWidget *>(w)) {
                ++controls;
                QVERIFY2(!w->accessibleName().isEmpty(), w->metaObject()->className());
            }
        }
        QVERIFY(controls >= 12);
    }

    void showsARealExchange()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) {
            if (line.contains("Home()")) // a data line where none belongs
                return QList<QByteArray>{line.left(5) + " &", line.left(5) + " # 1", line.left(5) + " %"};
            if (line.contains("StartSession()"))
                return QList<QByteArray>{line.left(5) + " &", line.left(5) + " %"};
            return fullReply(line, "DMEVersion(\"1.4\")");
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendLine("00016 StartSession()");
        QVERIFY(client.waitForLines(2));
        client.sendLine("00017 GetDMEVersion()");
        QVERIFY(client.waitForLines(5));
        client.sendLine("00018 Home()");
        QVERIFY(client.waitForLines(8));
        rig.f->RunHandler([&] { rig.f->SendToIpp(QStringLiteral("GetDMEVersion()")); });
        QTRY_VERIFY(rig.logHas(QStringLiteral("<<< 00100 %")));

        rig.f->ShowInspector();
        inspect::InspectorWindow *w = rig.f->inspectorWindow;
        rig.f->inspector->flush();
        TransactionModel *m = w->transactions();
        // The relay client's commands once, on its leg (as a saved log shows
        // them); the operator's on its own.
        const int relayRow = rowOf(m, QStringLiteral("00017"), QStringLiteral("Relay"));
        QVERIFY(relayRow >= 0);
        QCOMPARE(rowOf(m, QStringLiteral("00017"), QStringLiteral("Operator")), -1);
        QVERIFY(rowOf(m, QStringLiteral("00100"), QStringLiteral("Operator")) >= 0);
        QCOMPARE(rowOf(m, QStringLiteral("00100"), QStringLiteral("Relay")), -1);
        QCOMPARE(cell(m, relayRow, TransactionModel::ColCommand), QStringLiteral("GetDMEVersion()"));
        QCOMPARE(cell(m, relayRow, TransactionModel::ColResult), QStringLiteral("ok"));
        QCOMPARE(cell(m, relayRow, TransactionModel::ColLines), QStringLiteral("3"));
        QVERIFY(!cell(m, relayRow, TransactionModel::ColToAck).isEmpty());
        QVERIFY(!cell(m, relayRow, TransactionModel::ColToDone).isEmpty());
        QVERIFY(!cell(m, relayRow, TransactionModel::ColSent).isEmpty());

        // Assistive technology reads the table's cells.
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(w->transactionView);
        QVERIFY(table && table->tableInterface());
        QCOMPARE(table->tableInterface()->rowCount(), m->rowCount());
        QAccessibleInterface *tagCell = table->tableInterface()->cellAt(relayRow, TransactionModel::ColTag);
        QVERIFY(tagCell);
        QCOMPARE(tagCell->text(QAccessible::Name), QStringLiteral("00017"));
        QCOMPARE(table->text(QAccessible::Name), QStringLiteral("Transactions"));

        // The faulty reply: a finding on the data line, in the pane and for the gutter.
        const int dataLine = logIndexOf(rig.f, QStringLiteral("<$< 00018 # 1"));
        QVERIFY(dataLine >= 0);
        const QVector<inspect::LogLineFinding> at = rig.f->inspector->findingsAtLogLine(dataLine);
        QVERIFY(!at.isEmpty());
        QCOMPARE(at.first().rule, check::Rule::Data);
        QCOMPARE(at.first().severity, check::Severity::Error);
        // The gutter marks that line, red, with the rule in the tooltip, and
        // leaves a clean line unmarked.
        LogGutter *gutter = rig.f->MemoLog->gutter();
        QVERIFY(gutter);
        LogLineMark mark;
        QVERIFY(gutter->markAt(dataLine, &mark));
        QVERIFY(mark.tip.contains(QStringLiteral("R-DATA")));
        QVERIFY(!gutter->markAt(0, &mark));
        rig.f->ShowLogLine(dataLine);
        const QImage strip = gutter->grab().toImage();
        const int row = TrafficLogView::TextMargin
            + (dataLine - rig.f->MemoLog->firstVisibleLine()) * rig.f->MemoLog->lineHeight()
            + rig.f->MemoLog->lineHeight() / 2;
        const QColor dot = strip.pixelColor(strip.width() / 2, row * strip.height() / gutter->height());
        QVERIFY2(dot.red() > 150 && dot.green() < 100, qPrintable(dot.name()));
        FindingModel *fm = w->findings();
        QCOMPARE(fm->rowCount(), 1); // once, on the relay leg
        QCOMPARE(cell(fm, 0, FindingModel::ColRule), QStringLiteral("R-DATA"));
        QCOMPARE(cell(fm, 0, FindingModel::ColFrom), QStringLiteral("server"));
        QVERIFY(w->windowTitle().endsWith(QStringLiteral("0 open, 1 finding")));
        // The selected rule is explained: who breaks it, what to change.
        w->summaryView->selectRow(0);
        QVERIFY(w->ruleExplanation->text().startsWith(QStringLiteral("R-DATA: The server")));
        QVERIFY(w->ruleExplanation->text().contains(QStringLiteral("What to change: ")));
        w->summaryView->clearSelection();
        const int homeRow = rowOf(m, QStringLiteral("00018"), QStringLiteral("Relay"));
        QVERIFY(cell(m, homeRow, TransactionModel::ColResult).contains(QStringLiteral("finding")));

        // Double-click on a transaction, click on a finding: the log shows the line.
        rig.f->MemoLog->setCursorLine(0);
        Q_EMIT w->transactionView->doubleClicked(m->index(relayRow, 0));
        QCOMPARE(rig.f->MemoLog->cursorLine(),
                 logIndexOf(rig.f, QStringLiteral(">$> 00017 GetDMEVersion()")));
        Q_EMIT w->findingView->clicked(fm->index(0, 0));
        QCOMPARE(rig.f->MemoLog->cursorLine(), dataLine);

        // The filters.
        w->filterEdit->setText(QStringLiteral("home"));
        QCOMPARE(m->rowCount(), 1); // 00018
        w->legBox->setCurrentIndex(w->legBox->findData(int(check::Leg::Operator)));
        QCOMPARE(m->rowCount(), 0);
        w->legBox->setCurrentIndex(w->legBox->findData(int(check::Leg::Relay)));
        QCOMPARE(m->rowCount(), 1);
        w->filterEdit->clear();
        QCOMPARE(m->rowCount(), 3); // StartSession, GetDMEVersion, Home
        w->onlyFindingsBox->setChecked(true);
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(cell(m, 0, TransactionModel::ColTag), QStringLiteral("00018"));

        // The timing table names the methods.
        w->tabs->setCurrentIndex(2);
        w->stats()->refresh();
        QStringList methods;
        for (int r = 0; r < w->stats()->rowCount(); ++r)
            methods << w->stats()->text(r, inspect::StatsModel::ColMethod);
        QVERIFY(methods.contains(QStringLiteral("GetDMEVersion")));
        QVERIFY(methods.contains(QStringLiteral("Home")));

        // Clear Log drops the references into it.
        rig.f->BtClearLogClick();
        QVERIFY(rig.f->inspector->findingsAtLogLine(dataLine).isEmpty());
        QCOMPARE(cell(fm, 0, FindingModel::ColLogLine), QStringLiteral("not in the log"));
    }

    void linesKeptOutOfTheLogAreChecked()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) {
            return QList<QByteArray>{line.left(5) + " &", line.left(5) + " # 1", line.left(5) + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->EdExclude->setText(QStringLiteral("# 1"));
        rig.f->CbExclude->setChecked(true);
        client.sendLine("00020 Home()");
        QVERIFY(client.waitForLines(3));
        QVERIFY(!rig.logHas(QStringLiteral("<$< 00020 # 1")));
        rig.f->CbFreeze->setChecked(true);
        rig.f->CbFreezeClick();
        client.sendLine("00021 Home()");
        QVERIFY(client.waitForLines(6));
        QVERIFY(!rig.logHas(QStringLiteral(">$> 00021 Home()")));
        const check::ProtocolChecker &c = rig.f->inspector->checker();
        // Each data line, once.
        QCOMPARE(c.findingCount(check::Rule::Data, check::Severity::Error), 2);
        QCOMPARE(c.totals(check::Leg::Relay).completed, 2);
        rig.f->inspector->flush();
        // Each one says why it has no log line.
        QList<int> why;
        for (quint64 s = rig.f->inspector->findingsBegin(); s < rig.f->inspector->findingsEnd(); ++s)
            if (rig.f->inspector->findingRow(s).finding.rule == check::Rule::Data)
                why << rig.f->inspector->findingRow(s).logLine;
        QCOMPARE(why, (QList<int>{inspect::NotInLogFiltered, inspect::NotInLogFrozen}));
    }

    void pipeliningClient()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) { return fullReply(line); };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendRaw("00012 Home()\r\n00013 Home()\r\n");
        QVERIFY(client.waitForLines(6));
        const check::ProtocolChecker &c = rig.f->inspector->checker();
        QCOMPARE(c.findingCount(check::Rule::AckFirst, check::Severity::Error), 1); // once, on the relay leg
        QCOMPARE(c.totals(check::Leg::Operator).commands, 0);

        // The ladder: a row each, in sending order, the second one marked
        // as sent before the first one's '&'.
        rig.f->ShowInspector();
        inspect::InspectorWindow *w = rig.f->inspectorWindow;
        rig.f->inspector->flush();
        w->tabs->setCurrentIndex(2);
        inspect::TimelineView *t = w->timeline;
        t->resize(900, 300);
        const QImage picture = t->render(QSize(900, 300));
        inspect::Ladder &ladder = t->ladder();
        QCOMPARE(ladder.count(), 2);
        QCOMPARE(ladder.row(0).tag(), QByteArray("00012"));
        QVERIFY(!ladder.overlapsPrevious(0) && ladder.overlapsPrevious(1));
        // Painted in the legend's colours: the finding's orange and the overlap's mark.
        bool orange = false, overlap = false;
        for (int y = inspect::LadderMetrics::rowsTop(picture.rect()); y < picture.height(); ++y)
            for (int x = inspect::LadderMetrics::LabelWidth; x < picture.width(); ++x) {
                orange |= picture.pixelColor(x, y) == inspect::LadderColour(ladder.row(1));
                overlap |= picture.pixelColor(x, y) == QColor(120, 40, 160);
            }
        QVERIFY(orange && overlap);
        // Hovering tells tag, command, the times and the finding.
        const QString details = t->rowDetails(1);
        for (const char *part : {"Relay 00013", "00013 Home()", "'&' ", "'%' ", "R-ACK-FIRST",
                                 "sent before the previous command's '&'"})
            QVERIFY2(details.contains(QLatin1String(part)), qPrintable(details));
        // A click selects the transaction and shows its command in the log.
        const int rowY = inspect::LadderMetrics::rowsTop(t->rect()) + inspect::LadderMetrics::RowHeight + 4;
        QCOMPARE(t->rowAt(QPoint(300, rowY)), 1);
        rig.f->MemoLog->setCursorLine(0);
        QTest::mouseClick(t, Qt::LeftButton, {}, QPoint(300, rowY));
        QCOMPARE(t->selectedRow(), 1);
        QCOMPARE(rig.f->MemoLog->cursorLine(), logIndexOf(rig.f, QStringLiteral(">$> 00013 Home()")));
        // Fitted to the traffic, the wheel zooms in around the pointer, a
        // drag pans, and "Fit the traffic" fits again.
        const inspect::LadderFrame fitted = t->frame();
        QVERIFY(fitted.t0 <= ladder.firstUs());
        QVERIFY(fitted.t0 + fitted.usPerPx * (t->width() - inspect::LadderMetrics::LabelWidth)
                >= ladder.lastUs());
        QWheelEvent wheel(QPointF(500, rowY), t->mapToGlobal(QPointF(500, rowY)), QPoint(), QPoint(0, 240),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(t, &wheel);
        QVERIFY(t->frame().usPerPx < fitted.usPerPx);
        const qint64 zoomedT0 = t->frame().t0;
        QTest::mousePress(t, Qt::LeftButton, {}, QPoint(400, rowY));
        QTest::mouseMove(t, QPoint(480, rowY));
        QTest::mouseRelease(t, Qt::LeftButton, {}, QPoint(480, rowY));
        QVERIFY(t->frame().t0 < zoomedT0); // dragged right: earlier time in view
        QCOMPARE(t->selectedRow(), 1); // a drag is no click
        w->spanBox->activated(0);
        t->render(QSize(900, 300));
        QCOMPARE(t->frame().usPerPx, fitted.usPerPx);
    }

    // A relay client with six faults, through the real window: one root
    // cause per fault on the client's own line, everything else under one
    // of them, and a row for every line the client sent.
    void sixFaultsLive()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &received) -> QList<QByteArray> {
            // The CR of an LF CR reaches the server ahead of the next line.
            const QByteArray line = received.trimmed();
            const QByteArray tag = line.left(5);
            if (!line.startsWith("000"))
                return {"E0000 ! Error(2, 0001, \"" + line + "\", \"Illegal tag\")"};
            if (line.contains("GoTo"))
                return {tag + " &"}; // its '%' comes with the next command
            if (line.contains("00004 GetProp"))
                return {"00004 %", "00004 &", "00004 # Tool.Name(\"Probe1\")", "00004 %"};
            if (line.contains("GetProp"))
                return {tag + " &", tag + " # Tool.Name(\"Probe1\")", tag + " %"};
            if (line.contains("IsHomed"))
                return {tag + " &", tag + " # IsHomed(1)", tag + " %"};
            if (line.contains("Get("))
                return {tag + " &", tag + " # X(1.0)", tag + " %"};
            return {tag + " &", tag + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->ShowInspector(); // its panes follow the traffic as it comes
        client.sendRaw("00001 StartSession()\n"); // a bare LF
        QVERIFY(client.waitForLines(2));
        client.sendRaw("00002 GetProp(Tool.Name())\r\n00003 Home()\r\n"); // before the '&'
        QVERIFY(client.waitForLines(7));
        client.sendRaw("00004 GoTo(X(1))\r\n");
        QVERIFY(client.waitForLines(8));
        client.sendRaw("00004 GetProp(Tool.Name())\r\n"); // the tag still open
        QVERIFY(client.waitForLines(12));
        client.sendRaw("00005 IsHomed()\n"); // a bare LF
        QVERIFY(client.waitForLines(15));
        client.sendRaw("6 Home()\r\n00007 Get(X())\n\r"); // a one-digit tag; LF CR
        QVERIFY(client.waitForLines(19));
        client.sendRaw("00008 EndSession()\r\n");
        QVERIFY2(client.waitForLines(21), qPrintable(rig.f.logLines().join('\n')));

        inspect::LiveInspector *ins = rig.f->inspector;
        ins->flush();
        QStringList roots;
        for (quint64 s = ins->findingsBegin(); s < ins->findingsEnd(); ++s) {
            const inspect::FindingRow &f = ins->findingRow(s);
            QCOMPARE(f.finding.leg, check::Leg::Relay);
            if (f.followOn()) {
                QVERIFY2(f.cause > 0, qPrintable(f.finding.text)); // its root cause is listed
                QVERIFY(!f.fromServer);
                continue;
            }
            QVERIFY(!f.fromServer);
            roots << QLatin1String(check::RuleId(f.finding.rule)) + QStringLiteral(" ")
                    + rig.f->MemoLog->line(f.logLine).mid(4);
        }
        QCOMPARE(roots,
                 (QStringList{"R-CRLF 00001 StartSession()", "R-ACK-FIRST 00003 Home()",
                              "R-TAG-UNIQUE 00004 GetProp(Tool.Name())", "R-CRLF 00005 IsHomed()",
                              "R-TAG-FORMAT 6 Home()", "R-CRLF 00007 Get(X())"}));

        inspect::InspectorWindow *w = rig.f->inspectorWindow;
        w->refresh();
        QVERIFY(w->windowTitle().contains(QStringLiteral("6 root causes")));
        // The tree grown as the findings came is the one built at once.
        const auto tree = [](FindingModel *m) {
            QStringList out;
            for (int r = 0; r < m->rowCount(); ++r) {
                const QModelIndex root = m->index(r, FindingModel::ColSentence);
                out << root.data().toString();
                for (int c = 0; c < m->rowCount(m->index(r, 0)); ++c)
                    out << QStringLiteral("  ")
                            + m->index(c, FindingModel::ColSentence, m->index(r, 0)).data().toString();
            }
            return out;
        };
        FindingModel fresh(ins);
        QCOMPARE(tree(w->findings()), tree(&fresh));
        QCOMPARE(w->findings()->rowCount(), 6);
        QVERIFY(tree(&fresh).size() > 6);
        TransactionModel *tm = w->transactions();
        QCOMPARE(tm->rowCount(), 9);
        w->onlyFindingsBox->setChecked(true);
        QVERIFY(rowOf(tm, QString(), QStringLiteral("Relay")) >= 0); // the malformed line, tagless
        const int bad = rowOf(tm, QString(), QStringLiteral("Relay"));
        QCOMPARE(cell(tm, bad, TransactionModel::ColCommand), QStringLiteral("6 Home()"));
        QVERIFY(cell(tm, bad, TransactionModel::ColResult).contains(QStringLiteral("Illegal tag")));
        QCOMPARE(ins->checker().totals(check::Leg::Relay).errorLines, 1);
    }

    // Every view names a line by the number the log shows for it, which is
    // the number the saved log's check gives it: the line at fault and the
    // lines a finding's text refers to. A line Freeze or the filter kept out
    // of the log says so.
    void oneNumbering()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) {
            const QByteArray tag = line.left(5);
            if (tag == "00009")
                return QList<QByteArray>{tag + " &", tag + " # 1", tag + " %"};
            return QList<QByteArray>{tag + " &", tag + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->LogEvent(QStringLiteral("an event line between the traffic"));
        client.sendRaw("00001 StartSession()\r\n");
        QVERIFY(client.waitForLines(2));
        client.sendRaw("00002 Home()\r\n00002 Home()\r\n"); // before the '&', and the tag in use
        QVERIFY(client.waitForLines(6));
        client.sendRaw("00003 GetErrStatusE()\n"); // a bare LF
        QVERIFY(client.waitForLines(8));
        rig.f->CbFreeze->click();
        client.sendRaw("00004 Home()\n"); // a bare LF, not in the log
        QVERIFY(client.waitForLines(10));
        rig.f->CbFreeze->click();
        rig.f->EdExclude->setText(QStringLiteral("00009 #"));
        rig.f->CbExclude->setChecked(true);
        client.sendRaw("00009 Home()\r\n"); // its data line is filtered out
        QVERIFY(client.waitForLines(13));
        rig.f->CbExclude->setChecked(false);
        client.sendRaw("00005 Home()\r\n");
        QVERIFY(client.waitForLines(15));

        inspect::LiveInspector *ins = rig.f->inspector;
        ins->flush();
        QStringList live, frozen, filtered;
        for (quint64 s = ins->findingsBegin(); s < ins->findingsEnd(); ++s) {
            const inspect::FindingRow &f = ins->findingRow(s);
            const QString said =
                QStringLiteral("%1: %2").arg(QLatin1String(check::RuleId(f.finding.rule)), f.finding.text);
            if (f.logLine == inspect::NotInLogFrozen)
                frozen << said;
            else if (f.logLine == inspect::NotInLogFiltered)
                filtered << said;
            else
                live << QString::number(f.logLine + 1) + QStringLiteral(": ") + said;
        }
        QVERIFY2(frozen.size() == 1,
                 qPrintable(live.join('\n') + '\n' + frozen.join('\n') + '\n' + filtered.join('\n')));
        QVERIFY(frozen[0].startsWith(QStringLiteral("R-CRLF")));
        QCOMPARE(filtered.size(), 1); // a '#' line where the command wants none
        QVERIFY(live.size() >= 4);

        const QString path = rig.f.dir() + QStringLiteral("/numbering.txt");
        rig.f.fileAnswers = QStringList{path};
        rig.f->BtSaveLog->click();
        QTRY_VERIFY(rig.f->logSave.isNull());
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        check::ProtocolChecker offline;
        QStringList checked;
        offline.setFindingHandler([&checked](const check::Finding &f) {
            checked
                << QStringLiteral("%1: %2: %3").arg(f.line).arg(QLatin1String(check::RuleId(f.rule)), f.text);
        });
        check::LogReader::Read(saved, offline);
        // The saved log lacks the two lines kept out of it and the line ends
        // (only a live check sees those); the rest tells the same story under
        // the same numbers.
        for (const QString &l : live)
            if (!l.contains(QStringLiteral(": R-CRLF: ")))
                QVERIFY2(checked.contains(l),
                         qPrintable(l + QStringLiteral("\nnot in\n") + checked.join('\n')));

        // The panes and the gutter say the same.
        rig.f->ShowInspector();
        FindingModel *fm = rig.f->inspectorWindow->findings();
        QStringList column;
        for (int r = 0; r < fm->rowCount(); ++r)
            column << cell(fm, r, FindingModel::ColLogLine);
        QVERIFY(column.contains(QStringLiteral("not in the log: frozen")));
        QVERIFY(column.contains(QStringLiteral("not in the log: filtered")));
        const int reuse = logIndexOf(rig.f, QStringLiteral(">$> 00002 Home()")) + 1;
        QVERIFY(reuse > 0);
        bool named = false;
        for (const inspect::LogLineFinding &g : ins->findingsAtLogLine(reuse))
            named |= g.text.contains(QStringLiteral("line %1").arg(reuse));
        QVERIFY(named); // the second 00002 names the first by its log number
    }

    // Line ends are judged on the line they end, as they came off the wire;
    // what is relayed and logged is as before.
    void lineEndsAreCheckedLive()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) {
            return QList<QByteArray>{line.mid(line.indexOf('0'), 5) + " &",
                                     line.mid(line.indexOf('0'), 5) + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendRaw("00021 Home()\n"); // a bare LF
        QVERIFY(client.waitForLines(2));
        client.sendRaw("00022 Home()\n\r"); // LF CR: the CR is this line's
        QVERIFY(client.waitForLines(4));
        client.sendRaw("00023 Home()\r\n");
        QVERIFY(client.waitForLines(6));
        const check::ProtocolChecker &c = rig.f->inspector->checker();
        QCOMPARE(c.findingCount(check::Rule::Crlf, check::Severity::Error), 2);
        QCOMPARE(c.findingCount(check::Rule::Charset, check::Severity::Error), 0);
        QCOMPARE(c.findingCount(check::Rule::TagFormat, check::Severity::Error), 0);
        QCOMPARE(c.totals(check::Leg::Relay).completed, 3);
        rig.f->inspector->flush();
        QStringList atFault;
        for (quint64 s = rig.f->inspector->findingsBegin(); s < rig.f->inspector->findingsEnd(); ++s) {
            const inspect::FindingRow &f = rig.f->inspector->findingRow(s);
            if (f.finding.rule == check::Rule::Crlf)
                atFault << rig.f->MemoLog->line(f.logLine);
        }
        QCOMPARE(atFault.size(), 2);
        QVERIFY(atFault[0].endsWith(QStringLiteral("00021 Home()")));
        QVERIFY(atFault[1].endsWith(QStringLiteral("00022 Home()")));
        QVERIFY(rig.logHas(QStringLiteral(">$> \r00023 Home()"))); // the log is as before
    }

    // Off, the traffic is relayed and logged but not checked; on again, it is
    // checked from there. The switch is kept in the settings.
    void liveCheckSwitch()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->ShowInspector();
        inspect::InspectorWindow *w = rig.f->inspectorWindow;
        const check::ProtocolChecker &c = rig.f->inspector->checker();
        const qint64 fedBefore = c.linesFed();
        w->liveBox->setChecked(false);
        QVERIFY(w->windowTitle().contains(QLatin1String("not checking")));
        client.sendRaw("00012 Home()\r\n00013 Home()\r\n");
        QVERIFY(client.waitForLines(4));
        QCOMPARE(c.findingCount(check::Rule::AckFirst, check::Severity::Error), 0);
        QCOMPARE(c.linesFed(), fedBefore);
        QCOMPARE(rig.f.logLines().filter(QStringLiteral("00013")).size(), 3); // the command, '&', '%'
        w->liveBox->setChecked(true);
        client.sendRaw("00014 Home()\r\n00015 Home()\r\n");
        QVERIFY(client.waitForLines(8));
        QCOMPARE(c.findingCount(check::Rule::AckFirst, check::Severity::Error), 1);
        w->liveBox->setChecked(false);
        rig.f.close();
        QVERIFY(readFile(rig.f.dir() + QStringLiteral("/Torvane.ini")).contains("Live=0"));
        rig.f.restart();
        QVERIFY(!rig.f->inspector->live());
    }

    void simulatedLinesAreTheProgramsOwn()
    {
        RelayRig rig;
        rig.f->advancedMode = true;
        rig.f->ApplyAdvancedLayout();
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.f->RunHandler([&] { rig.f->btFakeCloseClick(); }); // a '%' for a tag never sent
        QVERIFY(client.waitForLines(1));
        rig.f->inspector->flush();
        const inspect::LiveInspector &ins = *rig.f->inspector;
        QCOMPARE(ins.findingsEnd() - ins.findingsBegin(), quint64(1));
        const inspect::FindingRow &r = ins.findingRow(ins.findingsBegin());
        QCOMPARE(r.finding.rule, check::Rule::UnknownTag);
        QVERIFY(r.own);
        QCOMPARE(r.finding.leg, check::Leg::Relay);
    }

    void settingsRoundTrip()
    {
        FormFixture f;
        f.close();
        // Never opened: the file gets no section of it.
        QVERIFY(!readFile(f.dir() + QStringLiteral("/Torvane.ini")).contains("[Inspector]"));
        f.restart();
        f->ShowInspector();
        inspect::InspectorWindow *w = f->inspectorWindow;
        w->profileBox->setCurrentIndex(w->profileBox->findText(QStringLiteral("nist")));
        for (QAction *a : w->rulesMenu->actions())
            if (a->text().startsWith(QLatin1String("R-DAEMON")))
                a->setChecked(false);
        QCOMPARE(f->inspector->rules().profile, check::Profile::Nist);
        QVERIFY(!f->inspector->rules().on(check::Rule::Daemon));
        w->resize(700, 400);
        // The file dialogs remember the folder of the last file chosen.
        const QString reports = f.dir() + QStringLiteral("/reports");
        QVERIFY(QDir().mkpath(reports));
        f.fileAnswers << reports + QStringLiteral("/r.html");
        QVERIFY(w->saveReport());
        f.close();
        const QByteArray ini = readFile(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(ini.contains("Folder=" + reports.toUtf8()));
        QVERIFY(ini.contains("[Inspector]"));
        QVERIFY(ini.contains("Profile=nist"));
        QVERIFY(ini.contains("R-DAEMON=0"));
        QVERIFY(ini.contains("R-ORDER=1"));
        QVERIFY(ini.contains("Width=700"));

        f.restart();
        // The checker runs with them before the window is opened.
        QCOMPARE(f->inspector->rules().profile, check::Profile::Nist);
        QVERIFY(!f->inspector->rules().on(check::Rule::Daemon));
        f->ShowInspector();
        QCOMPARE(f->inspectorWindow->profileBox->currentText(), QStringLiteral("nist"));
        QCOMPARE(f->inspectorWindow->size(), QSize(700, 400));
        QCOMPARE(f->inspectorWindow->settings().folder, reports);
        // Unchanged, it is written back as it was.
        f.close();
        QCOMPARE(readFile(f.dir() + QStringLiteral("/Torvane.ini")), ini);
    }

    // A place or size that is missing (as a section written by hand leaves
    // it), unreadable or out of bounds gives the window its own geometry.
    void geometryReadOrDefault_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("none") << QByteArray("Live=0") << QRect();
        QTest::newRow("size only") << QByteArray("Width=700\nHeight=400") << QRect();
        QTest::newRow("smallest int")
            << QByteArray("Left=-2147483648\nTop=-2147483648\nWidth=700\nHeight=400") << QRect();
        QTest::newRow("not a number") << QByteArray("Left=x\nTop=5\nWidth=700\nHeight=400") << QRect();
        QTest::newRow("too wide") << QByteArray("Left=0\nTop=0\nWidth=8193\nHeight=400") << QRect();
        QTest::newRow("no height") << QByteArray("Left=0\nTop=0\nWidth=700\nHeight=0") << QRect();
        QTest::newRow("at the bounds")
            << QByteArray("Left=-16384\nTop=16384\nWidth=8192\nHeight=1") << QRect(-16384, 16384, 8192, 1);
    }

    void geometryReadOrDefault()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QRect, geometry);
        ProfileFile ini;
        ini.setContent("[Inspector]\n" + keys + "\n");
        inspect::InspectorSettings s;
        inspect::ReadInspectorSettings(ini, s);
        QVERIFY(s.present);
        QCOMPARE(s.geometry, geometry);
    }

    // Such a section at start-up: the window opens where it would without
    // one, and the file gets that place back.
    void sectionWithoutPlace()
    {
        FormFixture f(QStringLiteral("[RelayServer]\r\nPort=%1\r\n[Inspector]\r\nWidth=700\r\nHeight=400\r\n")
                          .arg(FreePort())
                          .toLatin1());
        f->ShowInspector();
        const QPoint at = f->inspectorWindow->pos();
        QVERIFY(at.x() >= -16384 && at.x() <= 16384 && at.y() >= -16384 && at.y() <= 16384);
        f.close();
        ProfileFile ini(f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(ini.load());
        QCOMPARE(ini.readInteger(QStringLiteral("Inspector"), QStringLiteral("Left"), -1), at.x());
        QCOMPARE(ini.readInteger(QStringLiteral("Inspector"), QStringLiteral("Top"), -1), at.y());
    }

    void reportFile()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) {
            return QList<QByteArray>{line.left(5) + " &", line.left(5) + " # 1", line.left(5) + " %"};
        };
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendLine("00030 Home()");
        QVERIFY(client.waitForLines(3));
        rig.f->ShowInspector();
        const QStringList logBefore = rig.f.logLines();
        const QByteArray iniBefore = readFile(rig.f.dir() + QStringLiteral("/Torvane.ini"));
        const QString path = rig.f.dir() + QStringLiteral("/report.html");
        rig.f.fileAnswers << path;
        rig.f->inspectorWindow->reportButton->click();
        QCOMPARE(rig.f.dialogs.last().kind, QStringLiteral("save"));
        const QByteArray html = readFile(path);
        QVERIFY(html.startsWith("<!DOCTYPE html>"));
        QVERIFY(html.contains("R-DATA"));
        QVERIFY(html.contains("00030: data line for Home"));
        QVERIFY(html.contains("<td>Home</td>"));
        QVERIFY(html.contains("<h2>What to fix</h2>"));
        QVERIFY(html.contains("<td>server 1</td>")); // the data line, once
        QVERIFY(html.contains("src=\"data:image/png;base64,iVBORw0KGgo")); // a PNG
        // It reads without the log: the line at fault among its neighbours,
        // the side at fault, what the rule is for, a contents list by rule.
        QVERIFY(html.contains("<span class=\"at\">"));
        QVERIFY(html.contains("&lt;$&lt; 00030 # 1</span>"));
        QVERIFY(html.contains("&gt;$&gt; 00030 Home()"));
        QVERIFY(html.contains("at fault: <b>server</b>"));
        QVERIFY(html.contains("<a href=\"#rule-R-DATA\">R-DATA</a>: 1 finding,"));
        QVERIFY(html.contains("<h2 id=\"rule-R-DATA\">"));
        QVERIFY(html.contains("What to change: "));
        QVERIFY(html.count("data:image/png") >= 2); // the finding's ladder and the whole one
        QVERIFY(html.trimmed().endsWith("</html>"));
        QCOMPARE(rig.f.logLines(), logBefore);
        QCOMPARE(readFile(rig.f.dir() + QStringLiteral("/Torvane.ini")), iniBefore);

        // Cancelled: nothing written; a folder that doesn't exist: said so.
        QVERIFY(QFile::remove(path));
        rig.f->inspectorWindow->reportButton->click();
        QVERIFY(!QFile::exists(path));
        rig.f.fileAnswers << rig.f.dir() + QStringLiteral("/no/such/folder/report.html");
        rig.f->inspectorWindow->reportButton->click();
        QCOMPARE(rig.f.errors().size(), 1);
    }
};

QTEST_MAIN(TestInspectorWindow)
#include "tst_inspectorwindow.moc"
