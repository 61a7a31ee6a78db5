// Replay's parts without processes: matching, the reply diff, reading a
// recording, the served answers and their order, the fault rules.

#include "replay/capturesource.h"
#include "replay/clientreplay.h"
#include "replay/diff.h"
#include "replay/faults.h"
#include "replay/match.h"
#include "replay/recording.h"
#include "replay/serverreplay.h"

#include <QTemporaryDir>
#include <QTest>

using namespace replay;

namespace {

std::unique_ptr<Recording> Open(const QString &path, const QByteArray &text, QString *error,
                                LegChoice leg = LegChoice::Auto)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return nullptr;
    f.close();
    auto rec = std::make_unique<Recording>(std::make_unique<LogFileSource>(path), leg);
    return rec->open(error) ? std::move(rec) : nullptr;
}

// A served replay's output, as the client would see it.
struct Served {
    QList<QByteArray> lines;
    bool closed = false;
    void wire(ServerReplay &s)
    {
        s.setOutput([this](const QByteArray &l) { lines.append(l); }, [this] { closed = true; });
    }
};

} // namespace

class TestReplay : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void matchingIgnoresBlanksAndTolerance()
    {
        QCOMPARE(Normalise("GoTo( X(1), Y (2) , \"a b\" )"), QByteArray("GoTo(X(1),Y(2),\"a b\")"));
        QVERIFY(SameText("GoTo(X(10.0001))", "GoTo(X(10))", 0.0001));
        QVERIFY(!SameText("GoTo(X(10.0001))", "GoTo(X(10))", 0));
        QVERIFY(SameText("GoTo(X(10.0))", "GoTo(X(10))", 0));
        QVERIFY(SameText("X(-1.5e-3)", "X(-0.0015)", 0));
        // Digits inside names and quoted text are text, not numbers.
        QVERIFY(!SameText("ChangeTool(\"Probe1\")", "ChangeTool(\"Probe2\")", 5));
        QVERIFY(!SameText("\"1.0\"", "\"1\"", 0));
        QVERIFY(!SameText("GoTo(X(1))", "GoTo(X(1),Y(2))", 0));
        QVERIFY(IsMotion("GoTo") && IsMotion("ScanOnCircle") && IsMotion("AlignPart") && !IsMotion("Get"));
        QCOMPARE(ErrorSeverity(" ! Error(3, 0501, Foo, \"x\")"), 3);
        QCOMPARE(ErrorSeverity(" # Error(3)"), -1);
    }

    void repliesComparedInOrder()
    {
        const std::vector<QByteArray> rec = {" &", " # X(1), Y(2)", " # X(3)", " %"};
        QVERIFY(CompareReplies(rec, {" &", " # X(1.00001), Y(2)", " # X(3)", " %"}, 0.001).empty());
        const auto d =
            CompareReplies(rec, {" &", " # X(1), Y(2.5)", " ! Error(1, 1008, GoTo, \"x\")", " %"}, 0);
        QCOMPARE(d.size(), size_t(2));
        QCOMPARE(d[0].kind, LineChange::Changed);
        QCOMPARE(d[0].replayed, QByteArray(" # X(1), Y(2.5)"));
        QCOMPARE(d[1].recorded, QByteArray(" # X(3)"));
        const auto added = CompareReplies({" &", " %"}, {" &", " # E", " %"}, 0);
        QCOMPARE(added.size(), size_t(1));
        QCOMPARE(added[0].kind, LineChange::Added);
        const auto removed = CompareReplies(rec, {" &", " %"}, 0);
        QCOMPARE(removed.size(), size_t(2));
        QCOMPARE(removed[1].kind, LineChange::Removed);

        Diff diff(DiffOptions{0, 2.0, 5000});
        DiffEntry slow;
        slow.recordedAckUs = 1000;
        slow.ackUs = 11000; // past 2 x the 5 ms floor
        slow.recordedDoneUs = 100000;
        slow.doneUs = 150000;
        diff.add(slow);
        QCOMPARE(diff.entries.size(), size_t(1));
        QVERIFY(diff.entries.front().slowAck && !diff.entries.front().slowDone);
        QCOMPARE(diff.slow, 1);
        QVERIFY(!diff.empty());

        // A small ratio flags only a time that is also a few ms longer.
        Diff close(DiffOptions{0, 1.2, 5000});
        DiffEntry jitter;
        jitter.recordedAckUs = 10000;
        jitter.ackUs = 13000;
        jitter.recordedDoneUs = 100000;
        jitter.doneUs = 130000;
        close.add(jitter);
        QCOMPARE(close.entries.size(), size_t(1));
        QVERIFY(!close.entries.front().slowAck && close.entries.front().slowDone);
    }

    // A stamped log with both legs: the relay leg is chosen, the operator's
    // lines are left out, events go with the command before them, a daemon's
    // reports with its command, and a reply to an unsent tag is counted.
    void readsRecording()
    {
        QTemporaryDir dir;
        QString error;
        const QByteArray log = "---------- Connected  05.Mar.2024 - 10.00.00.000\r\n"
                               "10.00.01:000  >>> 00100 StartSession()\r\n"
                               "10.00.01:010  <<< 00100 &\r\n"
                               "10.00.01:020  <<< 00100 %\r\n"
                               "10.00.02:000  >$> E0005 OnMoveReportE(Time(1), X())\r\n"
                               "10.00.02:010  <$< E0005 &\r\n"
                               "10.00.02:020  <$< E0005 %\r\n"
                               "10.00.03:000  >$> 00017 GoTo(X(1))\r\n"
                               "10.00.03:010  <$< 00017 &\r\n"
                               "10.00.03:100  <$< E0005 # X(0.5)\r\n"
                               "10.00.03:150  <$< E0000 # KeyPress(\"Done\")\r\n"
                               "10.00.03:200  <$< 00017 %\r\n"
                               "10.00.04:000  <$< 00999 %\r\n"
                               "10.00.05:000  >$> 00018 EndSession()\r\n"
                               "10.00.05:010  <$< 00018 &\r\n"
                               "10.00.05:020  <$< 00018 %\r\n";
        auto rec = Open(dir.filePath("a.log"), log, &error);
        QVERIFY2(rec, qPrintable(error));
        QCOMPARE(rec->leg(), check::Leg::Relay);
        const RecordedTxn *go = rec->at(1);
        QVERIFY(go);
        QCOMPARE(go->command, QByteArray("GoTo(X(1))"));
        QCOMPARE(go->replies.size(), size_t(2));
        QCOMPARE(go->offsetOf('&'), 10000);
        QCOMPARE(go->offsetOf('%'), 200000);
        QCOMPARE(go->events.size(), size_t(2));
        QCOMPARE(go->events[0].daemonOf, 0);
        QCOMPARE(go->events[1].daemonOf, -1);
        QCOMPARE(go->events[1].offsetUs, 150000);
        QVERIFY(rec->at(2));
        QVERIFY(!rec->at(3));
        QCOMPARE(rec->orphans(), 1);

        auto op = Open(dir.filePath("b.log"), log, &error, LegChoice::Operator);
        QVERIFY(op && op->at(0) && !op->at(1));

        // No commands, nothing readable: an error, no recording.
        QVERIFY(!Open(dir.filePath("c.log"), "", &error));
        QVERIFY(!Open(dir.filePath("d.log"), "10.00.01:000  <$< 00017 &\r\n", &error));
        QVERIFY2(error.contains("no command"), qPrintable(error));
        QVERIFY(!Open(dir.filePath("e.log"), QByteArray(4096, '\0'), &error));
        QVERIFY2(error.contains("binary"), qPrintable(error));
    }

    // Replies under the client's tag; strict and any matching; the three miss
    // rules; the order of lines when delays would overtake each other.
    void servesRecordedAnswers()
    {
        QTemporaryDir dir;
        QString error;
        const QByteArray transcript = "C: 00001 StartSession()\nS: 00001 &\nS: 00001 %\n"
                                      "C: 00002 GoTo(X(10))\nS: 00002 &\nS: 00002 %\n"
                                      "C: 00003 Get(X())\nS: 00003 &\nS: 00003 # X(10)\nS: 00003 %\n";
        {
            auto rec = Open(dir.filePath("t.log"), transcript, &error);
            QVERIFY2(rec, qPrintable(error));
            ServeOptions o;
            o.speed = 0;
            o.tolerance = 0.001;
            ServerReplay s(*rec, o);
            Served out;
            out.wire(s);
            s.clientLine("00041 StartSession()");
            s.clientLine("00042 Get(X())"); // strict: out of order is a miss
            s.clientLine("00043 GoTo( X(10.0004) )");
            s.clientLine("00044 Get(X())");
            s.finish();
            QCOMPARE(out.lines,
                     (QList<QByteArray>{"00041 &", "00041 %", "00042 &",
                                        "00042 ! Error(3, 0501, Get, \"Unsupported command\")", "00042 %",
                                        "00043 &", "00043 %", "00044 &", "00044 # X(10)", "00044 %"}));
            QCOMPARE(s.diff().matched, 3);
            QCOMPARE(s.diff().extra, 1);
            QVERIFY(s.diff().missing == 0 && s.diff().changed == 0);
        }
        {
            auto rec = Open(dir.filePath("t.log"), transcript, &error);
            ServeOptions o;
            o.speed = 0;
            o.match = MatchMode::Any;
            o.onMiss = MissRule::Ack;
            ServerReplay s(*rec, o);
            Served out;
            out.wire(s);
            s.clientLine("00001 Get(X())");
            s.clientLine("00002 Home()");
            s.finish();
            QCOMPARE(out.lines,
                     (QList<QByteArray>{"00001 &", "00001 # X(10)", "00001 %", "00002 &", "00002 %"}));
            QCOMPARE(s.diff().missing, 2);
        }
        {
            auto rec = Open(dir.filePath("t.log"), transcript, &error);
            ServeOptions o;
            o.onMiss = MissRule::Close;
            ServerReplay s(*rec, o);
            Served out;
            out.wire(s);
            s.clientLine("00001 Home()");
            s.clientLine("00002 StartSession()");
            QVERIFY(out.closed);
            QVERIFY(out.lines.isEmpty());
        }
        // Recorded: the first command's '%' late, the second's data early (as
        // a pipelining server could not): the second waits for the first's '%'.
        const QByteArray timed = "10.00.01:000  >>> 00001 GoTo(X(1))\r\n"
                                 "10.00.01:001  <<< 00001 &\r\n"
                                 "10.00.01:002  >>> 00002 Get(X())\r\n"
                                 "10.00.01:003  <<< 00002 &\r\n"
                                 "10.00.01:004  <<< 00002 # X(1)\r\n"
                                 "10.00.01:005  <<< 00002 %\r\n"
                                 "10.00.01:060  <<< 00001 %\r\n";
        auto rec = Open(dir.filePath("p.log"), "---------- Connected\r\n" + timed, &error);
        QVERIFY2(rec, qPrintable(error));
        ServerReplay s(*rec, ServeOptions{});
        Served out;
        out.wire(s);
        s.clientLine("00007 GoTo(X(1))");
        s.clientLine("00008 Get(X())");
        QTRY_COMPARE(out.lines.size(), 5);
        QCOMPARE(out.lines, (QList<QByteArray>{"00007 &", "00008 &", "00007 %", "00008 # X(1)", "00008 %"}));
    }

    // Paced on '&' (StartSession on '%'), fresh tags, replies compared; a
    // severe error stops it with AbortE, ClearAllErrors and EndSession, and
    // what was not sent is missing.
    void playsClient()
    {
        QTemporaryDir dir;
        QString error;
        auto rec = Open(dir.filePath("c.log"),
                        "C: 00010 StartSession()\nS: 00010 &\nS: 00010 %\n"
                        "C: 00020 Get(X())\nS: 00020 &\nS: 00020 # X(1)\nS: 00020 %\n"
                        "C: 00030 GoTo(X(2))\nS: 00030 &\nS: 00030 %\n"
                        "C: 00040 EndSession()\nS: 00040 &\nS: 00040 %\n",
                        &error);
        QVERIFY2(rec, qPrintable(error));
        ClientOptions o;
        o.speed = 0;
        ClientReplay c(*rec, o);
        QList<QByteArray> sent;
        c.setOutput([&sent](const QByteArray &l) { sent.append(l); });
        c.start();
        QCOMPARE(sent, QList<QByteArray>{"00001 StartSession()"});
        c.serverLine("00001 &");
        QCOMPARE(sent.size(), 1);
        c.serverLine("00001 %");
        QCOMPARE(sent.last(), QByteArray("00002 Get(X())"));
        c.serverLine("00002 &");
        QCOMPARE(sent.last(), QByteArray("00003 GoTo(X(2))"));
        c.serverLine("00002 # X(1.5)");
        c.serverLine("00002 %");
        c.serverLine("00003 &");
        QCOMPARE(sent.last(), QByteArray("00004 EndSession()"));
        c.serverLine("00003 ! Error(3, 1001, GoTo, \"Machine limit\")");
        QCOMPARE(sent.last(), QByteArray("E0001 AbortE()"));
        c.serverLine("00003 %");
        c.serverLine("E0001 &");
        c.serverLine("E0001 %");
        QCOMPARE(sent.last(), QByteArray("00005 ClearAllErrors()"));
        c.serverLine("00005 &");
        c.serverLine("00005 %");
        QCOMPARE(sent.last(), QByteArray("00006 EndSession()"));
        QVERIFY(!c.isFinished());
        c.serverLine("00006 &");
        c.serverLine("00006 %");
        QVERIFY(c.isFinished() && c.stopped());
        const Diff &d = c.diff();
        QCOMPARE(d.matched, 3);
        QCOMPARE(d.changed, 2); // Get's data, GoTo's error
        QCOMPARE(d.missing, 1); // the recorded EndSession, sent but aborted unanswered
    }

    // The events between two commands are held against the recorded ones,
    // whenever they come; a server that goes silent ends the replay.
    void clientComparesEventsAndTimesOut()
    {
        QTemporaryDir dir;
        QString error;
        const QByteArray log = "C: 00010 PtMeas(X(1))\nS: 00010 &\nS: E0000 # KeyPress(\"Done\")\n"
                               "S: 00010 # X(1)\nS: 00010 %\n"
                               "C: 00011 Get(X())\nS: 00011 &\nS: 00011 # X(1)\nS: 00011 %\n";
        {
            auto rec = Open(dir.filePath("e.log"), log, &error);
            QVERIFY2(rec, qPrintable(error));
            ClientOptions o;
            o.speed = 0;
            ClientReplay c(*rec, o);
            QList<QByteArray> sent;
            c.setOutput([&sent](const QByteArray &l) { sent.append(l); });
            c.start();
            c.serverLine("00001 &"); // the next command goes out
            c.serverLine("00001 # X(1)");
            c.serverLine("00001 %");
            // After the next command went out: counted with Get, not PtMeas.
            c.serverLine("E0000 # KeyPress(\"Done\")");
            c.serverLine("00002 &");
            c.serverLine("00002 # X(1)");
            c.serverLine("E0000 # KeyPress(\"Back\")");
            c.serverLine("00002 %");
            QVERIFY(c.isFinished());
            const Diff &d = c.diff();
            QCOMPARE(d.matched, 2);
            QCOMPARE(d.changed, 2);
            QCOMPARE(d.entries.size(), size_t(2));
            QCOMPARE(d.entries[0].recordedCommand, QByteArray("00010 PtMeas(X(1))"));
            QCOMPARE(d.entries[0].lines.size(), size_t(1));
            QCOMPARE(d.entries[0].lines[0].kind, LineChange::Removed);
            QCOMPARE(d.entries[1].lines.size(), size_t(2));
            QCOMPARE(d.entries[1].lines[0].replayed, QByteArray(" # KeyPress(\"Done\")"));
            QCOMPARE(d.entries[1].lines[1].replayed, QByteArray(" # KeyPress(\"Back\")"));
        }
        auto rec = Open(dir.filePath("s.log"), log, &error);
        ClientOptions o;
        o.speed = 0;
        o.silenceMs = 20;
        ClientReplay c(*rec, o);
        c.setOutput([](const QByteArray &) {});
        c.start();
        c.serverLine("00001 &");
        QTRY_VERIFY(c.isFinished());
        QVERIFY(c.timedOut());
        QVERIFY(c.stopReasonText().contains("sent nothing"));
        QCOMPARE(c.diff().missing, 2);
    }

    // A capture is a recording like the tap's log of the same traffic; a
    // session it doesn't hold is an error.
    void captureIsRecording()
    {
        const QString data = QStringLiteral(CAPTURE_DATA);
        Recording cap(SourceForFile(data + QStringLiteral("/loopback.pcap")));
        Recording log(SourceForFile(data + QStringLiteral("/loopback-tap.log")));
        QString error;
        QVERIFY2(cap.open(&error), qPrintable(error));
        QVERIFY2(log.open(&error), qPrintable(error));
        QCOMPARE(cap.leg(), check::Leg::Operator);
        qint64 n = 0;
        for (;; ++n) {
            const RecordedTxn *a = cap.at(n), *b = log.at(n);
            QCOMPARE(a == nullptr, b == nullptr);
            if (!a)
                break;
            QCOMPARE(a->tag + a->command, b->tag + b->command);
            QCOMPARE(a->replies.size(), b->replies.size());
            for (size_t i = 0; i < a->replies.size(); ++i)
                QCOMPARE(a->replies[i].body, b->replies[i].body);
            QVERIFY(a->offsetOf('%') >= 0);
        }
        QVERIFY(n > 5);
        QVERIFY(cap.problem().isEmpty());

        CaptureChoice second;
        second.session = 9;
        Recording none(SourceForFile(data + QStringLiteral("/loopback.pcap"), second));
        QVERIFY(!none.open(&error));
        QVERIFY2(error.contains("no session 9"), qPrintable(error));
    }

    void faultRules()
    {
        FaultScript f;
        QString error;
        QVERIFY(!f.loadJson("[{\"match\": \"(\", \"action\": \"error\"}]", "f.json", &error));
        QVERIFY2(error.startsWith("f.json: rule 1: field \"match\""), qPrintable(error));
        QVERIFY(!f.loadJson("[{\"match\": \"x\"}, {\"match\": \"y\", \"action\": \"explode\"}]", "f.json",
                            &error));
        QVERIFY2(error.contains("rule 1: field \"action\""), qPrintable(error));
        QVERIFY(!f.loadJson("{\"rules\": [{\"match\": \"x\", \"action\": \"error\", \"severity\": 1}]}", "g",
                            &error));
        QVERIFY2(error.contains("field \"number\""), qPrintable(error));
        QVERIFY(!f.loadJson("not json", "h", &error));

        const QByteArray rules = R"json([
            {"match": "^GoTo", "nth": 2, "action": "error", "severity": 1, "number": 1008, "text": "Busy"},
            {"match": "^Get", "action": "insert", "data": ["Y(2)"]},
            {"match": "^Get", "action": "delay-done", "ms": 30},
            {"match": "^PtMeas", "action": "event", "line": "# KeyPress(\"Done\")", "ms": 5}])json";
        QVERIFY2(f.loadJson(rules, "f.json", &error), qPrintable(error));
        auto plan = [](const QByteArray &tag) {
            FaultPlan p;
            p.tag = tag;
            p.lines = {{tag + " &", 0}, {tag + " # X(1)", 0}, {tag + " %", 0}};
            return p;
        };
        FaultPlan p1 = plan("00001"), p2 = plan("00002");
        QVERIFY(!f.apply("GoTo(X(1))", p1));
        QVERIFY(f.apply("GoTo(X(2))", p2));
        QCOMPARE(p2.lines.size(), size_t(3));
        QCOMPARE(p2.lines[1].line, QByteArray("00002 ! Error(1, 1008, GoTo, \"Busy\")"));
        FaultPlan g = plan("00003");
        QVERIFY(f.apply("Get(X())", g));
        QCOMPARE(g.lines.size(), size_t(4));
        QCOMPARE(g.lines[2].line, QByteArray("00003 # Y(2)"));
        QCOMPARE(g.lines[3].delayUs, 30000);
        QCOMPARE(g.lines[2].delayUs, 0);
        FaultPlan m = plan("00004");
        QVERIFY(f.apply("PtMeas(X(1))", m));
        QCOMPARE(m.events.size(), size_t(1));
        QCOMPARE(m.events[0].line, QByteArray("E0000 # KeyPress(\"Done\")"));
    }
};

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
