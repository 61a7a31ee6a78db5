// Root causes and their follow-ons, and the records of lines that are no
// command: a relay client with six faults, the chains one fault starts, and
// what the server's answer to a malformed line does.

#include "checksupport.h"

#include "check/summary.h"

#include <QTest>

using namespace check;

namespace {
const QString Data = QStringLiteral(CHECK_DATA);

// A saved transcript fed as the relay leg, the way the live inspector feeds
// a relay client's traffic, with its transaction events.
struct RelayRun : TrafficSink {
    ProtocolChecker checker;
    QVector<Finding> findings;
    struct Event {
        TxnEvent event;
        Transaction txn;
        qint64 position;
    };
    QVector<Event> events;

    explicit RelayRun(RuleSet rules = RuleSet()) : checker(rules)
    {
        checker.setFindingHandler([this](const Finding &f) { findings.append(f); });
        checker.setTransactionHandler([this](TxnEvent e, const Transaction &t, qint64 pos) {
            events.append({e, t, pos});
        });
    }
    void traffic(Leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 fullLength, qint64 lineNo,
                 LineEnd end) override
    {
        checker.feedLong(Leg::Relay, dir, timeUs, line, fullLength, lineNo, end);
    }
    void connectionReset(Leg, qint64 lineNo, StreamStart start) override
    {
        checker.connectionReset(Leg::Relay, lineNo, start);
    }
    bool read(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QByteArray all = f.readAll();
        LogScanner scanner(*this);
        if (!scanner.begin(all))
            return false;
        scanner.feed(all);
        scanner.end();
        checker.finish();
        return true;
    }
    QVector<Finding> roots() const
    {
        QVector<Finding> r;
        for (const Finding &f : findings)
            if (!f.isFollowOn())
                r.append(f);
        return r;
    }
    QString dump() const
    {
        QString s;
        for (const Finding &f : findings)
            s += QStringLiteral("%1: %2 %3\n").arg(f.line).arg(QLatin1String(RuleId(f.rule)), f.text);
        return s;
    }
};

// Every follow-on names a root cause that was reported before it, takes its
// side and says so at the end of its text.
void VerifyLinks(const QVector<Finding> &findings)
{
    for (qsizetype i = 0; i < findings.size(); ++i) {
        const Finding &f = findings[i];
        if (!f.isFollowOn())
            continue;
        const auto root = std::find_if(findings.begin(), findings.begin() + i, [&](const Finding &r) {
            return !r.isFollowOn() && r.line == f.causeLine && r.rule == f.causeRule;
        });
        QVERIFY2(root != findings.begin() + i, qPrintable(f.text));
        QCOMPARE(f.party, root->party);
        QVERIFY2(f.text.endsWith(QStringLiteral("(follows from %1 at line %2)")
                                     .arg(QLatin1String(RuleId(f.causeRule)))
                                     .arg(f.causeLine)),
                 qPrintable(f.text));
    }
}
} // namespace

class TestCauses : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sixFaultsOneRootCauseEach()
    {
        RelayRun run;
        QVERIFY(run.read(Data + "/patterns/six-faults.txt"));
        // StartSession in a bare LF, a command before the '&', a tag reused
        // while open, a bare LF, a one-digit tag, a Get in LF CR.
        const QVector<Finding> roots = run.roots();
        const QVector<QPair<qint64, Rule>> expected = {{1, Rule::Crlf},       {5, Rule::AckFirst},
                                                       {13, Rule::TagUnique}, {18, Rule::Crlf},
                                                       {22, Rule::TagFormat}, {23, Rule::Crlf}};
        QVERIFY2(roots.size() == expected.size(), qPrintable(run.dump()));
        for (qsizetype i = 0; i < roots.size(); ++i) {
            QCOMPARE(roots[i].line, expected[i].first);
            QCOMPARE(roots[i].rule, expected[i].second);
            QCOMPARE(roots[i].leg, Leg::Relay);
            QCOMPARE(roots[i].party, Party::Client);
        }
        VerifyLinks(run.findings);
        // The server's lines for the reused tag are the client's doing.
        QVERIFY(run.findings.size() > roots.size());
        for (const Finding &f : run.findings)
            if (f.isFollowOn())
                QCOMPARE(f.causeLine, qint64(13));
        QCOMPARE(run.checker.findingCount(Rule::Order, Party::Server), 0);
        QCOMPARE(run.checker.followOnCount(), run.findings.size() - roots.size());

        // "6 Home()" is a row that the "Illegal tag" error (line 24) answers,
        // though the Get went out before it.
        const auto malformed =
            std::find_if(run.events.begin(), run.events.end(), [](const RelayRun::Event &e) {
                return e.txn.kind == TxnKind::Malformed && e.event == TxnEvent::Closed;
            });
        QVERIFY(malformed != run.events.end());
        QCOMPARE(malformed->txn.commandLine, qint64(22));
        QCOMPARE(malformed->txn.doneLine, qint64(24));
        QCOMPARE(malformed->txn.state, TxnState::Done);
        QCOMPARE(malformed->txn.errorLines, quint32(1));
        const LegTotals &t = run.checker.totals(Leg::Relay);
        QCOMPARE(t.malformed, 1);
        QCOMPARE(t.errorLines, 1);
        QCOMPARE(t.commands + t.malformed, t.linesToServer);
        QCOMPARE(t.open, 0);

        // Where the error puts the server in the error state, the next
        // command's finding follows from the malformed line too.
        RelayRun nist{RuleSet(Profile::Nist)};
        QVERIFY(nist.read(Data + "/patterns/six-faults.txt"));
        QCOMPARE(nist.roots().size(), expected.size());
        VerifyLinks(nist.findings);
        QVERIFY(std::any_of(nist.findings.begin(), nist.findings.end(), [](const Finding &f) {
            return f.rule == Rule::ErrorState && f.causeRule == Rule::TagFormat && f.causeLine == 22;
        }));
    }

    void followOnChains()
    {
        // A command sent before the '&', answered before the one it overtook.
        CheckRun run = CheckText(
            Transcript({"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %", "C: 00002 GoTo(X(1))",
                        "C: 00003 Home()", "S: 00003 &", "S: 00003 %", "S: 00002 &", "S: 00002 %"}));
        QCOMPARE(run.count(Rule::Overlap), 1);
        VerifyLinks(run.findings);
        QCOMPARE(run.findings.last().causeRule, Rule::AckFirst);
        QCOMPARE(run.findings.last().party, Party::Client);
        QCOMPARE(run.checker->findingCount(Rule::Overlap, Party::Server), 0);

        // A '&' missing where the data began, then sent late.
        run = CheckText(Transcript({"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %",
                                    "C: 00002 Get(X())", "S: 00002 # X(1)", "S: 00002 &", "S: 00002 %"}));
        QCOMPARE(run.count(Rule::Order), 2);
        VerifyLinks(run.findings);
        QVERIFY(!run.findings[0].isFollowOn() && run.findings[1].isFollowOn());
        QCOMPARE(run.findings[1].party, Party::Server);

        // A line led by a CR is untagged because of it; a reply under the tag
        // of a line without its blank follows from that line.
        ProtocolChecker c;
        QVector<Finding> found;
        c.setFindingHandler([&](const Finding &f) { found.append(f); });
        c.connectionReset(Leg::Operator, 0, StreamStart::InSession);
        c.feed(Leg::Operator, Direction::ToServer, -1, "\r00002 Home()");
        c.feed(Leg::Operator, Direction::ToServer, -1, "00003Home()");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00003 &");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00003 %");
        QCOMPARE(found.size(), 5);
        VerifyLinks(found);
        QCOMPARE(found[0].rule, Rule::Crlf);
        QCOMPARE(found[1].rule, Rule::TagFormat);
        QCOMPARE(found[1].causeLine, qint64(1));
        QCOMPARE(found[2].rule, Rule::TagFormat);
        QVERIFY(!found[2].isFollowOn());
        for (int i : {3, 4}) {
            QCOMPARE(found[i].rule, Rule::UnknownTag);
            QCOMPARE(found[i].causeLine, qint64(2));
            QCOMPARE(found[i].party, Party::Client);
        }

        // A StartSession the server could not read leaves what follows outside.
        run = CheckText(Transcript({"C: 0001 StartSession()",
                                    "S: E0000 ! Error(2, 0001, \"0001 StartSession()\", \"Illegal tag\")",
                                    "C: 00002 Home()", "S: 00002 &", "S: 00002 %"}));
        QCOMPARE(run.count(Rule::Session), 1);
        VerifyLinks(run.findings);
        QCOMPARE(run.findings.last().causeLine, qint64(1));

        // With the root's rule off, what follows stands on its own; a tag sent
        // afresh ends the reuse's reach.
        RuleSet noUnique;
        noUnique.set(Rule::TagUnique, false);
        const QByteArray reuse = Transcript(
            {"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %", "C: 00002 GoTo(X(1))", "S: 00002 &",
             "C: 00002 Home()", "S: 00002 %", "S: 00002 &", "S: 00002 %", "C: 00002 Home()", "S: 00002 %"});
        run = CheckText(reuse, noUnique);
        QVERIFY(run.count(Rule::Order) > 0);
        for (const Finding &f : run.findings)
            QVERIFY2(!f.isFollowOn(), qPrintable(f.text));
        run = CheckText(reuse);
        VerifyLinks(run.findings);
        QVERIFY(run.findings.size() > 2);
        QVERIFY(run.findings.last().line == 11 && !run.findings.last().isFollowOn());
    }

    void malformedLinesAreRecords()
    {
        ProtocolChecker c;
        QVector<QPair<TxnEvent, Transaction>> events;
        c.setTransactionHandler([&](TxnEvent e, const Transaction &t, qint64) { events.append({e, t}); });
        QVector<Finding> found;
        c.setFindingHandler([&](const Finding &f) { found.append(f); });
        auto client = [&](const char *l) { c.feed(Leg::Relay, Direction::ToServer, -1, l); };
        auto server = [&](const char *l) { c.feed(Leg::Relay, Direction::FromServer, -1, l); };
        c.connectionReset(Leg::Relay, 0, StreamStart::InSession);
        // Two malformed lines, answered in order; a third that the server
        // skips is closed unanswered once a later command is answered.
        client("1 Home()");
        client("0002 Home()");
        server("E0000 ! Error(2, 0001, \"1 Home()\", \"Illegal tag\")");
        server("E0000 ! Error(2, 0001, \"0002 Home()\", \"Illegal tag\")");
        client("x");
        client("00004 Home()");
        server("00004 &");
        server("00004 %");
        QCOMPARE(found.size(), 3); // the three tags, no more
        QVector<Transaction> closed;
        for (const auto &e : events)
            if (e.first == TxnEvent::Closed && e.second.kind == TxnKind::Malformed)
                closed.append(e.second);
        QCOMPARE(closed.size(), 3);
        QCOMPARE(closed[0].commandLine, qint64(1));
        QCOMPARE(closed[0].doneLine, qint64(3));
        QCOMPARE(closed[1].doneLine, qint64(4));
        QCOMPARE(closed[1].key, 0u);
        QCOMPARE(closed[2].state, TxnState::Sent);
        QCOMPARE(closed[2].errorLines, 0u);
        QCOMPARE(c.totals(Leg::Relay).errorLines, 2);
        QCOMPARE(c.totals(Leg::Relay).malformed, 3);

        // Server lines that match no command are one-line records.
        events.clear();
        server("00077 ! Error(2, 0503, Home, \"Bad move\")");
        server("garbage");
        QCOMPARE(events.size(), 5); // opened, error, closed; opened, closed
        QCOMPARE(events[2].second.kind, TxnKind::Stray);
        QCOMPARE(events[2].second.commandLine, events[2].second.doneLine);
        QCOMPARE(events[4].second.key, 0u);
        QCOMPARE(c.totals(Leg::Relay).stray, 2);
        QCOMPARE(c.totals(Leg::Relay).errorLines, 3);

        // An error under a malformed line's own tag answers it too.
        events.clear();
        const qsizetype before = found.size();
        client("00009Home()");
        server("00009 ! Error(2, 0002, Home, \"No space at pos. 6\")");
        QCOMPARE(found.size(), before + 1); // its tag only
        QCOMPARE(events.size(), 3);
        QCOMPARE(events.last().first, TxnEvent::Closed);
        QCOMPARE(events.last().second.state, TxnState::Done);
        QCOMPARE(events.last().second.key, 9u);

        // A flood of malformed lines keeps few open; all close by the end.
        events.clear();
        for (int i = 0; i < 10000; ++i)
            client("bad");
        c.finish();
        int opened = 0, closedNow = 0;
        for (const auto &e : events) {
            opened += e.first == TxnEvent::Opened;
            closedNow += e.first == TxnEvent::Closed;
        }
        QCOMPARE(opened, 10000);
        QCOMPARE(closedNow, 10000);
        QVERIFY(c.completedCount() >= 10000 - 1);
    }

    void followOnsPrintUnderTheirRoot()
    {
        auto finding = [](qint64 line, Rule r, qint64 causeLine = -1, Rule cause = Rule::Order) {
            Finding f;
            f.line = line;
            f.rule = r;
            f.causeLine = causeLine;
            f.causeRule = cause;
            return f;
        };
        const QVector<Finding> in = {
            finding(1, Rule::TagUnique), finding(2, Rule::Crlf), finding(3, Rule::Order, 1, Rule::TagUnique),
            finding(4, Rule::Data, 1, Rule::TagUnique), finding(5, Rule::Order, 2, Rule::Crlf)};
        for (int window : {100, 2}) {
            QVector<QPair<qint64, bool>> out;
            {
                FindingGroups groups(
                    [&](const Finding &f, bool under) {
                        out.append({f.line, under});
                    },
                    window);
                for (const Finding &f : in)
                    groups.add(f);
            }
            // A small window lets the first root cause go before all of its
            // follow-ons came: the late one goes out on its own.
            const QVector<QPair<qint64, bool>> want = window == 100
                ? QVector<QPair<qint64, bool>>{{1, false}, {3, true}, {4, true}, {2, false}, {5, true}}
                : QVector<QPair<qint64, bool>>{{1, false}, {3, true}, {2, false}, {5, true}, {4, false}};
            QCOMPARE(out, want);
        }
    }
};

QTEST_GUILESS_MAIN(TestCauses)
#include "tst_causes.moc"
