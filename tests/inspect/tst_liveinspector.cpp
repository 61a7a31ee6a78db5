// The live inspector on its own: fed lines as the window would feed them.

#include "inspect/inspectormodels.h"
#include "inspect/liveinspector.h"
#include "inspect/timeline.h"

#include <QSignalSpy>
#include <QTest>

using check::Direction;
using check::Leg;
using inspect::LiveInspector;
using inspect::TxnOutcome;

namespace {

struct Feeder {
    LiveInspector ins;
    int logLine = 0;
    // Fed with the next log line.
    void out(Leg leg, const char *line, bool own = false)
    {
        ins.feed(leg, Direction::ToServer, QByteArrayView(line), own, logLine++);
    }
    void in(Leg leg, const char *line, bool own = false, bool logged = true)
    {
        ins.feed(leg, Direction::FromServer, QByteArrayView(line), own, logged ? logLine++ : -1);
    }
    const inspect::TxnRow &last() const { return ins.completedRow(ins.completedEnd() - 1); }
};

} // namespace

class TestLiveInspector : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A finding's text names the lines it refers to by their log numbers:
    // a line long gone from the recent ones by its open command, a line
    // kept out of the log by why, and a line nobody knows any more as such.
    void findingTextsNameLogLines()
    {
        Feeder f;
        f.logLine = 41; // the log holds other lines before the traffic
        f.out(Leg::Relay, "00001 StartSession()");
        f.in(Leg::Relay, "00001 &");
        f.in(Leg::Relay, "00001 %");
        f.out(Leg::Relay, "00002 GoTo(X(1))"); // log line 45, left open
        f.in(Leg::Relay, "00002 &");
        for (int i = 0; i < 70000; ++i) { // more than the recent lines kept
            const QByteArray tag = QByteArray::number(10 + i % 80000).rightJustified(5, '0');
            f.ins.feed(Leg::Relay, Direction::ToServer, tag + " IsHomed()", false, f.logLine++);
            f.ins.feed(Leg::Relay, Direction::FromServer, tag + " &", false, f.logLine++);
            f.ins.feed(Leg::Relay, Direction::FromServer, tag + " # IsHomed(1)", false, f.logLine++);
            f.ins.feed(Leg::Relay, Direction::FromServer, tag + " %", false, f.logLine++);
        }
        f.out(Leg::Relay, "00002 Home()"); // reused while open
        f.ins.feed(Leg::Relay, Direction::ToServer, QByteArrayView("00003 Home()"), false,
                   inspect::NotInLogFrozen);
        f.out(Leg::Relay, "00003 Home()");
        f.ins.flush();
        QStringList texts;
        for (quint64 s = f.ins.findingsBegin(); s < f.ins.findingsEnd(); ++s)
            if (f.ins.findingRow(s).finding.rule == check::Rule::TagUnique)
                texts << f.ins.findingRow(s).finding.text;
        QCOMPARE(texts,
                 (QStringList{"00002: tag still in use by the command at line 45",
                              "00003: tag still in use by the command at a line not in the log: frozen"}));
        QCOMPARE(f.ins.lineName(1), QStringLiteral("an earlier line"));
        QCOMPARE(inspect::LogLineText(inspect::NotInLogFiltered), QStringLiteral("not in the log: filtered"));
        QCOMPARE(inspect::LogLineText(0), QStringLiteral("1"));
    }

    // A client that sends nothing but malformed lines, answered or not:
    // each is a row, and the open and kept rows stay within their bounds.
    void aFloodOfMalformedLinesStaysBounded()
    {
        Feeder f;
        f.out(Leg::Relay, "00001 StartSession()");
        f.in(Leg::Relay, "00001 &");
        f.in(Leg::Relay, "00001 %");
        for (int i = 0; i < 100000; ++i) {
            f.out(Leg::Relay, i % 2 ? "6 Home()" : "\x01\xff");
            if (i % 1000 == 999) // the server answers now and then
                f.in(Leg::Relay, "E0000 ! Error(2, 0001, \"6 Home()\", \"Illegal tag\")");
        }
        f.ins.flush();
        QVERIFY(f.ins.openCount() <= LiveInspector::MaxOpenMalformed);
        QVERIFY(f.ins.completedEnd() - f.ins.completedBegin() <= quint64(LiveInspector::MaxCompleted));
        QCOMPARE(qint64(f.ins.completedEnd()) + f.ins.openCount(), qint64(100001));
        int answered = 0, unanswered = 0;
        for (quint64 s = f.ins.completedBegin(); s < f.ins.completedEnd(); ++s) {
            const inspect::TxnRow &r = f.ins.completedRow(s);
            if (r.kind == check::TxnKind::Command)
                continue; // StartSession
            QCOMPARE(r.kind, check::TxnKind::Malformed);
            QVERIFY(r.tag().isEmpty());
            if (r.outcome == TxnOutcome::Error) {
                QCOMPARE(f.ins.errorText(r), QByteArray("Error(2, 0001, \"6 Home()\", \"Illegal tag\")"));
                ++answered;
            } else {
                QCOMPARE(r.outcome, TxnOutcome::Dropped);
                ++unanswered;
            }
        }
        QCOMPARE(answered, 100);
        QVERIFY(unanswered > 0);
        QCOMPARE(f.ins.checker().totals(Leg::Relay).errorLines, 100);
        // A stray server line is a row of its own, opened and closed at once.
        f.in(Leg::Relay, "00077 # X(1)");
        QCOMPARE(f.last().kind, check::TxnKind::Stray);
        QCOMPARE(f.last().outcome, TxnOutcome::Ok);
    }

    void followsTransactions()
    {
        Feeder f;
        f.out(Leg::Operator, "00001 GetDMEVersion()");
        QCOMPARE(f.ins.openCount(), 1);
        QCOMPARE(f.ins.openRow(0).outcome, TxnOutcome::Open);
        f.in(Leg::Operator, "00001 &");
        QVERIFY(f.ins.openRow(0).acked);
        f.in(Leg::Operator, "00001 # DMEVersion(\"1.4\")");
        f.in(Leg::Operator, "00001 %");
        QCOMPARE(f.ins.openCount(), 0);
        QCOMPARE(f.ins.completedEnd() - f.ins.completedBegin(), quint64(1));
        const inspect::TxnRow &r = f.last();
        QCOMPARE(r.outcome, TxnOutcome::Ok);
        QCOMPARE(r.lines, 3u);
        QCOMPARE(r.logLine, 0);
        QCOMPARE(f.ins.commandText(r), QByteArray("00001 GetDMEVersion()"));
        QVERIFY(r.tSent >= 0 && r.tAck >= r.tSent && r.tDone >= r.tAck);

        // An error reply: its text is the result.
        f.out(Leg::Relay, "00002 PtMeas(X(1),Y(2),Z(3))");
        f.in(Leg::Relay, "00002 &");
        f.in(Leg::Relay, "00002 ! Error(2, 1006, PtMeas, \"Surface not found\")");
        QCOMPARE(f.ins.openCount(), 1);
        const inspect::TxnRow copy = f.ins.openRow(0); // as a view holds it between refreshes
        QVERIFY(f.ins.errorText(copy).startsWith("Error(2, 1006"));
        f.in(Leg::Relay, "00002 %");
        QCOMPARE(f.last().outcome, TxnOutcome::Error);
        QCOMPARE(f.last().leg, Leg::Relay);
        QVERIFY(inspect::OutcomeText(&f.ins, f.last()).startsWith(QStringLiteral("Error(2, 1006")));
        QCOMPARE(f.ins.commandText(f.last()), QByteArray("00002 PtMeas(X(1),Y(2),Z(3))"));
        // The tag used again: the old copy does not take the new command's text.
        f.out(Leg::Relay, "00002 Home()");
        QCOMPARE(f.ins.commandText(copy), QByteArray());
        f.in(Leg::Relay, "00002 &");
        f.in(Leg::Relay, "00002 %");
        QCOMPARE(f.ins.findingCount(), 0);

        // A command sent before the '&' of the one before: its own row
        // carries the finding, though the finding comes before it opens.
        f.out(Leg::Operator, "00003 Home()");
        f.out(Leg::Operator, "00004 Home()");
        QCOMPARE(f.ins.findingCount(), 1);
        QCOMPARE(f.ins.openCount(), 2);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(f.ins.openRow(i).finding, f.ins.openRow(i).key == 4);
    }

    // The ladder lists transactions in the order their commands went out,
    // whatever order they complete in, open ones among them; a command sent
    // before the '&' of the one before it on its leg is marked.
    void ladderInSendingOrder()
    {
        Feeder f;
        inspect::Ladder ladder(&f.ins);
        ladder.update();
        QCOMPARE(ladder.count(), 0);
        QCOMPARE(ladder.lastUs(), qint64(-1));
        f.out(Leg::Relay, "00001 Home()");
        f.out(Leg::Relay, "00002 GetErrStatusE()"); // before 00001's '&'
        f.out(Leg::Operator, "00100 Home()"); // another leg: no overlap with those
        f.in(Leg::Relay, "00002 &");
        f.in(Leg::Relay, "00002 ! Error(3, 0006, GetErrStatusE, \"Not\")");
        f.in(Leg::Relay, "00002 %");
        f.in(Leg::Relay, "00001 &");
        f.in(Leg::Relay, "00001 %");
        f.out(Leg::Relay, "00003 Home()"); // after every '&': lock-step
        ladder.update();
        QCOMPARE(ladder.count(), 4);
        QStringList tags;
        for (int i = 0; i < ladder.count(); ++i)
            tags << QString::fromLatin1(ladder.row(i).tag());
        QCOMPARE(tags, QStringList({"00001", "00002", "00100", "00003"}));
        QVERIFY(!ladder.overlapsPrevious(0));
        QVERIFY(ladder.overlapsPrevious(1));
        QVERIFY(!ladder.overlapsPrevious(2)); // the first on its leg
        QVERIFY(!ladder.overlapsPrevious(3));
        QCOMPARE(ladder.row(3).outcome, TxnOutcome::Open);
        // The colours of the legend: error over finding over plain, open grey.
        QCOMPARE(inspect::LadderColour(ladder.row(1)), QColor(210, 30, 30));
        QVERIFY(ladder.row(0).finding || ladder.row(1).finding);
        const inspect::TxnRow &withFinding = ladder.row(1).finding ? ladder.row(0) : ladder.row(1);
        QVERIFY(inspect::LadderColour(withFinding) != inspect::LadderColour(ladder.row(3)));
        // Fitting: from the first command to the last line, not on to now.
        const QRect area(0, 0, 800, 200);
        const inspect::LadderFrame frame = inspect::FitRows(ladder, area, 0, ladder.count() - 1);
        const double width = area.width() - inspect::LadderMetrics::LabelWidth - 4;
        QVERIFY(frame.t0 <= ladder.firstUs());
        QVERIFY(frame.t0 + frame.usPerPx * width >= double(ladder.lastUs()));
        QVERIFY(frame.usPerPx * width <= 1.2 * double(qMax<qint64>(ladder.lastUs() - ladder.firstUs(), 100)));
        QCOMPARE(ladder.rowAtOrAfter(ladder.row(2).tSent), 2);
        QCOMPARE(ladder.rowAtOrAfter(ladder.lastUs() + 1), 4);
    }

    void findingsByLogLine()
    {
        Feeder f;
        QSignalSpy added(&f.ins, &LiveInspector::logLineFindingsAdded);
        f.out(Leg::Operator, "00001 Home()"); // log line 0
        f.in(Leg::Operator, "00001 &"); // 1
        f.in(Leg::Operator, "00001 # 42"); // 2: Home returns no data
        f.in(Leg::Operator, "00009 %"); // 3: never sent
        f.in(Leg::Operator, "00001 %", false, false); // kept out of the log
        f.in(Leg::Operator, "00001 %"); // 4: after the completion

        check::Severity worst;
        QVERIFY(!f.ins.worstAtLogLine(0, &worst));
        QVERIFY(f.ins.worstAtLogLine(2, &worst));
        QCOMPARE(worst, check::Severity::Error);
        const QVector<inspect::LogLineFinding> at2 = f.ins.findingsAtLogLine(2);
        QCOMPARE(at2.size(), 1);
        QCOMPARE(at2[0].rule, check::Rule::Data);
        QVERIFY(at2[0].text.startsWith(QStringLiteral("R-DATA: 00001: data line for Home")));
        QCOMPARE(f.ins.findingsAtLogLine(3).value(0).rule, check::Rule::UnknownTag);
        QCOMPARE(f.ins.findingsAtLogLine(4).value(0).rule, check::Rule::Order);
        // The transaction carries its finding.
        QVERIFY(f.ins.completedRow(f.ins.completedBegin()).finding);

        // The signal comes batched, with the range of lines.
        QCOMPARE(added.count(), 0);
        f.ins.flush();
        QCOMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(0).toInt(), 2);
        QCOMPARE(added.at(0).at(1).toInt(), 4);

        // Clear Log: no finding points into the log any more.
        QSignalSpy forgotten(&f.ins, &LiveInspector::logLinesForgotten);
        f.ins.logCleared();
        QCOMPARE(forgotten.count(), 1);
        QVERIFY(f.ins.findingsAtLogLine(2).isEmpty());
        QVERIFY(!f.ins.worstAtLogLine(3, &worst));
        for (quint64 s = f.ins.findingsBegin(); s < f.ins.findingsEnd(); ++s)
            QCOMPARE(f.ins.findingRow(s).logLine, -1);
        QCOMPARE(f.ins.completedRow(f.ins.completedBegin()).logLine, -1);
        // New lines map afresh from line 0.
        f.logLine = 0;
        f.in(Leg::Operator, "00077 %");
        QCOMPARE(f.ins.findingsAtLogLine(0).size(), 1);
    }

    void ownLinesAreNotBlamedOnAPeer()
    {
        Feeder f;
        // The simulator's made-up '%' for a tag the client never sent.
        f.in(Leg::Relay, "00005 %", true);
        // A peer's line of the same kind.
        f.in(Leg::Relay, "00006 %");
        QCOMPARE(f.ins.findingsEnd() - f.ins.findingsBegin(), quint64(2));
        const inspect::FindingRow &own = f.ins.findingRow(f.ins.findingsBegin());
        const inspect::FindingRow &peer = f.ins.findingRow(f.ins.findingsBegin() + 1);
        QVERIFY(own.own && !peer.own);
        inspect::FindingModel model(&f.ins);
        QCOMPARE(model.rowCount(), 2);
        // Newest first.
        QCOMPARE(model.index(0, inspect::FindingModel::ColFrom).data().toString(), QStringLiteral("server"));
        QCOMPARE(model.index(1, inspect::FindingModel::ColFrom).data().toString(),
                 QStringLiteral("this program"));
        QVERIFY(f.ins.findingsAtLogLine(0).value(0).text.contains(QStringLiteral("own")));

        // A rewritten command is checked as sent, and marked as the program's.
        f.out(Leg::Operator, "00007 GoTo(X(1))", true);
        QVERIFY(f.ins.openRow(0).own);
    }

    void resetStartsALegAfresh()
    {
        Feeder f;
        f.out(Leg::Operator, "00001 Home()");
        f.out(Leg::Relay, "00001 Home()");
        QCOMPARE(f.ins.openCount(), 2);
        f.ins.connectionReset(Leg::Operator);
        QCOMPARE(f.ins.openCount(), 1);
        QCOMPARE(f.ins.openRow(0).leg, Leg::Relay);
        QCOMPARE(f.last().outcome, TxnOutcome::Dropped);
        QCOMPARE(f.last().leg, Leg::Operator);
        // The open one was reported at the reset.
        QCOMPARE(f.ins.checker().findingCount(check::Rule::Order, check::Severity::Warning), 1);

        // The old tag means nothing on the new operator stream...
        f.in(Leg::Operator, "00001 &");
        QCOMPARE(f.ins.checker().findingCount(check::Rule::UnknownTag, check::Severity::Error), 1);
        // ...while the relay leg goes on.
        f.in(Leg::Relay, "00001 &");
        f.in(Leg::Relay, "00001 %");
        QCOMPARE(f.last().outcome, TxnOutcome::Ok);
        QCOMPARE(f.last().leg, Leg::Relay);
    }

    void aNewConnectionStartsOutsideASession()
    {
        Feeder f;
        f.out(Leg::Operator, "00001 Home()"); // live from amid the traffic: no judgement
        f.ins.connectionReset(Leg::Operator);
        f.out(Leg::Operator, "00002 Home()");
        QCOMPARE(f.ins.checker().findingCount(check::Rule::Session, check::Severity::Error), 1);
        f.ins.setLive(false);
        f.ins.setLive(true);
        f.out(Leg::Operator, "00003 Home()");
        QCOMPARE(f.ins.checker().findingCount(check::Rule::Session, check::Severity::Error), 1);
    }

    void modelFiltersAndKeepsOpenOnTop()
    {
        Feeder f;
        inspect::TransactionModel model(&f.ins);
        f.out(Leg::Operator, "00001 Home()");
        f.in(Leg::Operator, "00001 &");
        f.in(Leg::Operator, "00001 %");
        f.out(Leg::Relay, "00002 GetDMEVersion()");
        f.in(Leg::Relay, "00002 &");
        f.in(Leg::Relay, "00002 %"); // no data: a finding
        f.out(Leg::Relay, "00003 GoTo(X(1))"); // stays open
        QCOMPARE(model.rowCount(), 0); // nothing before the batch
        f.ins.flush();
        model.refresh();
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.openRows(), 1);
        QCOMPARE(model.index(0, inspect::TransactionModel::ColTag).data().toString(),
                 QStringLiteral("00003"));
        QCOMPARE(model.index(0, inspect::TransactionModel::ColResult).data().toString(),
                 QStringLiteral("open"));
        QVERIFY(model.index(0, inspect::TransactionModel::ColToDone)
                    .data()
                    .toString()
                    .startsWith(QLatin1Char('(')));
        // An open row follows its replies.
        QVERIFY(model.index(0, inspect::TransactionModel::ColToAck).data().toString().isEmpty());
        f.in(Leg::Relay, "00003 &");
        model.refresh();
        QVERIFY(!model.index(0, inspect::TransactionModel::ColToAck).data().toString().isEmpty());
        QCOMPARE(model.index(0, inspect::TransactionModel::ColLines).data().toInt(), 1);
        // Completed: newest first.
        QCOMPARE(model.index(1, inspect::TransactionModel::ColTag).data().toString(),
                 QStringLiteral("00002"));
        QCOMPARE(model.index(2, inspect::TransactionModel::ColCommand).data().toString(),
                 QStringLiteral("Home()"));

        model.setFilter(QStringLiteral("home"), std::nullopt, false);
        QCOMPARE(model.rowCount(), 1);
        model.setFilter(QString(), Leg::Relay, false);
        QCOMPARE(model.rowCount(), 2);
        model.setFilter(QString(), std::nullopt, true);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.index(0, inspect::TransactionModel::ColTag).data().toString(),
                 QStringLiteral("00002"));
        // A filtered model follows new traffic too.
        f.out(Leg::Operator, "00004 Home()");
        f.in(Leg::Operator, "00004 # x");
        f.in(Leg::Operator, "00004 %");
        model.refresh();
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0, inspect::TransactionModel::ColTag).data().toString(),
                 QStringLiteral("00004"));
    }

    void boundedWhateverIsFed()
    {
        Feeder f;
        inspect::TransactionModel txns(&f.ins);
        inspect::FindingModel findings(&f.ins);
        inspect::Ladder ladder(&f.ins);
        // More completed transactions than are kept, with commands long
        // enough that their kept texts wrap around.
        const int n = LiveInspector::MaxCompleted + 5000;
        const auto command = [](int i) {
            return QByteArray::number(i % 99999 + 1).rightJustified(5, '0') + " GoTo(X("
                + QByteArray(170 + i % 50, '1') + "))";
        };
        char line[32];
        for (int i = 0; i < n; ++i) {
            const int tag = i % 99999 + 1;
            f.ins.feed(Leg::Relay, Direction::ToServer, command(i), false, -1);
            std::snprintf(line, sizeof line, "%05d &", tag);
            f.ins.feed(Leg::Relay, Direction::FromServer, QByteArrayView(line), false, -1);
            std::snprintf(line, sizeof line, "%05d %%", tag);
            f.ins.feed(Leg::Relay, Direction::FromServer, QByteArrayView(line), false, -1);
            if (i % 20000 == 0) {
                txns.refresh();
                ladder.update();
            }
        }
        txns.refresh();
        // The ladder follows the ring as it wraps: the kept ones, in order.
        ladder.update();
        QCOMPARE(ladder.count(), LiveInspector::MaxCompleted);
        QCOMPARE(ladder.row(0).position, f.ins.completedRow(f.ins.completedBegin()).position);
        for (int i = 1; i < ladder.count(); ++i)
            QVERIFY(ladder.row(i - 1).position < ladder.row(i).position);
        QCOMPARE(f.ins.completedEnd() - f.ins.completedBegin(), quint64(LiveInspector::MaxCompleted));
        QCOMPARE(txns.rowCount(), LiveInspector::MaxCompleted);
        QVERIFY(txns.rowAt(txns.rowCount() - 1) != nullptr);
        for (const quint64 serial : {f.ins.completedBegin(), f.ins.completedEnd() - 1})
            QCOMPARE(f.ins.commandText(f.ins.completedRow(serial)),
                     command(int(serial)).left(LiveInspector::MaxCommandChars));

        // A flood of replies for tags never sent: counted, but after the
        // first ones of the second not listed.
        Feeder h;
        for (int i = 0; i < 5000; ++i)
            h.ins.feed(Leg::Operator, Direction::FromServer, QByteArrayView("12345 # stray"), false, i);
        QCOMPARE(h.ins.checker().findingCount(), 5000);
        QVERIFY(h.ins.findingsEnd() <= quint64(LiveInspector::FloodPerSecond));
        QCOMPARE(h.ins.unlistedFindings(), qint64(5000 - h.ins.findingsEnd()));
        // Without that limit the listed ones are bounded all the same.
        f.ins.setFloodLimit(0);
        for (int i = 0; i < LiveInspector::MaxFindings + 3000; ++i)
            f.ins.feed(Leg::Operator, Direction::FromServer, QByteArrayView("12345 # stray"), false, i);
        findings.refresh();
        QCOMPARE(f.ins.findingsEnd() - f.ins.findingsBegin(), quint64(LiveInspector::MaxFindings));
        QCOMPARE(f.ins.droppedFindings(), quint64(3000));
        QCOMPARE(findings.rowCount(), LiveInspector::MaxFindings);
        QVERIFY(f.ins.findingsAtLogLine(0).isEmpty()); // dropped with its finding
        QCOMPARE(f.ins.findingsAtLogLine(LiveInspector::MaxFindings + 2999).size(), 1);

        // Commands that never complete: the open ones stay capped, the rest
        // are dropped into the completed rows, and one finding says so.
        Feeder g;
        for (int i = 0; i < 100000; ++i) {
            std::snprintf(line, sizeof line, "%05d GoTo(X(1))", i % 99999 + 1);
            g.ins.feed(Leg::Operator, Direction::ToServer, QByteArrayView(line), false, -1);
        }
        QCOMPARE(g.ins.openCount(), check::ProtocolChecker::DefaultOpenCap);
        QCOMPARE(g.ins.checker().findingCount(check::Rule::OpenLimit, check::Severity::Warning), 1);
        QCOMPARE(g.last().outcome, TxnOutcome::Dropped);

        // One tag used again and again while open, its replies in between:
        // one finding a reuse, one open row, the follow-ons tied to them.
        Feeder r;
        for (int i = 0; i < 10000; ++i) {
            r.ins.feed(Leg::Relay, Direction::ToServer, QByteArrayView("00001 GoTo(X(1))"), false, -1);
            r.ins.feed(Leg::Relay, Direction::FromServer, QByteArrayView("00001 &"), false, -1);
        }
        QCOMPARE(r.ins.openCount(), 1);
        QCOMPARE(r.ins.checker().findingCount(check::Rule::TagUnique, check::Party::Client), qint64(9999));
        QCOMPARE(r.ins.checker().followOnCount(check::Rule::TagUnique, check::Party::Client), qint64(0));
        QCOMPARE(r.ins.completedEnd() - r.ins.completedBegin(), quint64(9999));
        QVERIFY(r.ins.findingsEnd() - r.ins.findingsBegin() <= quint64(LiveInspector::MaxFindings));
    }
};

QTEST_MAIN(TestLiveInspector)
#include "tst_liveinspector.moc"
