// The protocol checker: each rule against a conforming and a breaking
// transcript, the real traffic patterns, the NIST suite's material, the
// profiles and switches, and bounded memory under hostile input.

#include "checksupport.h"

#include "check/catalogue.h"

#include <QDir>
#include <QTest>

using namespace check;

namespace {
const QString Data = QStringLiteral(CHECK_DATA);
} // namespace

class TestChecker : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void eachRule_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QString>("stem");
        for (int i = 0; i < RuleCount; ++i) {
            if (Rule(i) == Rule::OpenLimit)
                continue; // see openTransactionsAreCapped
            if (Rule(i) == Rule::CaptureGap || Rule(i) == Rule::CaptureDiff)
                continue; // the capture reader's, see tests/capture
            const QString id = QLatin1String(RuleId(Rule(i)));
            QTest::newRow(qPrintable(id)) << id << id.mid(2).toLower();
        }
    }
    void eachRule()
    {
        QFETCH(QString, rule);
        QFETCH(QString, stem);
        const Rule r = *RuleFromId(rule.toLatin1());
        const CheckRun ok = CheckFile(Data + "/rules/" + stem + "-ok.txt");
        QVERIFY2(ok.result.traffic > 0, "conforming transcript missing");
        QVERIFY2(ok.findings.isEmpty(), qPrintable(ok.dump()));
        const CheckRun bad = CheckFile(Data + "/rules/" + stem + "-bad.txt");
        QVERIFY2(bad.count(r) > 0, qPrintable(bad.dump()));
        // The switch turns the rule off on its own.
        RuleSet off;
        off.set(r, false);
        const CheckRun quiet = CheckFile(Data + "/rules/" + stem + "-bad.txt", off);
        QCOMPARE(quiet.count(r), 0);
        QVERIFY(quiet.findings.size() < bad.findings.size());
    }

    void realTrafficPatterns()
    {
        const CheckRun pipe = CheckFile(Data + "/patterns/pipelining.txt");
        QCOMPARE(pipe.count(Rule::AckFirst), 3);
        // EndSession and StartSession back to back is one of them.
        QVERIFY(std::any_of(pipe.findings.begin(), pipe.findings.end(),
                            [](const Finding &f) { return f.tag == "00006" && f.relatedLine == 14; }));
        QCOMPARE(pipe.count(Severity::Error), pipe.findings.size());

        const CheckRun swapped = CheckFile(Data + "/patterns/swapped-markers.txt");
        QVERIFY(swapped.count(Rule::Order) >= 2);
        QVERIFY(swapped.count(Rule::ReplyFormat) >= 2);

        const CheckRun lfcr = CheckFile(Data + "/patterns/lf-cr.txt");
        QCOMPARE(lfcr.count(Rule::Crlf), 6);
        QVERIFY(lfcr.findings.first().text.contains("LF CR"));
        QVERIFY(!lfcr.result.truncated);
    }

    void nistRecordedSessions_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("profile");
        for (const char *f : {"AbortE_TestWhileMoving_Client.log", "Error_Server.log", "Get_Client.log",
                              "OnMoveReportE_Server.log", "EnumProp.Client.log"})
            for (Profile p : {Profile::Spec143, Profile::Nist, Profile::V2})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(f, ProfileName(p))))
                    << QString(f) << int(p);
    }
    void nistRecordedSessions()
    {
        QFETCH(QString, file);
        QFETCH(int, profile);
        const CheckRun run = CheckFile(Data + "/nist/" + file, RuleSet(Profile(profile)));
        QVERIFY(run.result.traffic > 10);
        QCOMPARE(run.count(Severity::Error), 0);
        QVERIFY(run.checker->totals(Leg::Operator).completed > 3);
        QCOMPARE(run.checker->totals(Leg::Operator).open, 0);
    }

    void nistServerTexts()
    {
        // The reference server writes "Transaction aborted (Use ClearAllErrors to Continue)".
        const CheckRun run = CheckFile(Data + "/nist/AbortE_TestWhileMoving_Client.log");
        QCOMPARE(run.count(Rule::ErrorText), 1);
        QCOMPARE(run.findings.first().severity, Severity::Note);
        QVERIFY(run.findings.first().text.contains("letter case"));
    }

    void nistBrokenCommandFiles()
    {
        // The recorded session of the broken checker file.
        const CheckRun session = CheckFile(Data + "/nist/checkerCmdErrors_Client.log");
        QVERIFY(session.count(Rule::Session) >= 2);
        QVERIFY(session.count(Rule::ErrorState) >= 1);
        QVERIFY(session.count(Rule::Daemon) >= 1); // Time(0.09)
        QVERIFY(session.count(Rule::ErrorText) > 10); // "Incorrect Arguments" notes

        // The broken parser file, its commands as a client would send them.
        QFile f(Data + "/nist/parserCmdErrors.prg");
        QVERIFY(f.open(QIODevice::ReadOnly));
        ProtocolChecker c;
        QVector<Finding> found;
        c.setFindingHandler([&](const Finding &x) { found.append(x); });
        qint64 no = 0;
        while (!f.atEnd()) {
            const QByteArray line = f.readLine().trimmed();
            ++no;
            if (line.isEmpty() || line == "\\\\" || line == ":")
                continue;
            c.feed(Leg::Operator, Direction::ToServer, -1, line, no);
        }
        int tagFormat = 0, eventTag = 0;
        for (const Finding &x : found) {
            tagFormat += x.rule == Rule::TagFormat;
            eventTag += x.rule == Rule::EventTag;
        }
        QVERIFY(tagFormat >= 4); // A2345, 012345, E0000, 00000
        QVERIFY(eventTag >= 2);
    }

    void illegalTagClosesTheRejectedCommand()
    {
        const CheckRun run = CheckText(
            Transcript({"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %", "C: 00000 GoTo(X(1))",
                        "S: E0000 ! Error(2, 0001, \"00000 GoTo(X(1))\", \"Illegal tag\")", "C: 00002 Home()",
                        "S: 00002 &", "S: 00002 %", "C: 0003 Home()",
                        "S: E0000 ! Error(2, 0001, \"0003 Home()\", \"Illegal tag\")", "C: 00004 Home()",
                        "S: 00004 &", "S: 00004 %"}));
        QCOMPARE(run.count(Rule::TagFormat), 2);
        QVERIFY2(run.findings.size() == 2, qPrintable(run.dump()));
    }

    void profilesDiffer()
    {
        const QByteArray sev2 =
            Transcript({"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %", "C: 00002 PtMeas(X(1))",
                        "S: 00002 &", "S: 00002 ! Error(2, 1003, PtMeas, \"No touch\")", "S: 00002 %",
                        "C: 00003 Home()", "S: 00003 &", "S: 00003 %"});
        QCOMPARE(CheckText(sev2, RuleSet(Profile::Spec143)).count(Rule::ErrorState), 0);
        QCOMPARE(CheckText(sev2, RuleSet(Profile::Nist)).count(Rule::ErrorState), 1);
        QCOMPARE(CheckText(sev2, RuleSet(Profile::V2)).count(Rule::ErrorState), 1);

        const QByteArray eventCmd =
            Transcript({"C: 00002 GetErrStatusE()", "S: 00002 &", "S: 00002 # ErrStatus(0)", "S: 00002 %"});
        QCOMPARE(CheckText(eventCmd, RuleSet(Profile::Nist)).count(Rule::EventTag), 1);
        QCOMPARE(CheckText(eventCmd, RuleSet(Profile::V2)).count(Rule::EventTag), 0);

        const QByteArray info =
            Transcript({"C: 00002 Home()", "S: 00002 &", "S: 00002 ! Error(0, 0000, Home, \"Buffer full\")",
                        "S: 00002 %"});
        QCOMPARE(CheckText(info, RuleSet(Profile::Spec143)).count(Rule::ErrorFormat), 0);
        QCOMPARE(CheckText(info, RuleSet(Profile::Nist)).count(Rule::ErrorFormat), 1);

        // Data in the server's own order: a lesser finding for the strict reading only.
        const QByteArray order =
            Transcript({"C: 00002 Get(Y(), X())", "S: 00002 &", "S: 00002 # X(1), Y(2)", "S: 00002 %"});
        const CheckRun strict = CheckMidSession(order, RuleSet(Profile::Spec143));
        QCOMPARE(strict.count(Rule::DataMatch), 1);
        QCOMPARE(strict.findings.first().severity, Severity::Warning);
        QCOMPARE(CheckMidSession(order, RuleSet(Profile::Nist)).findings.size(), 0);
    }

    void errorDecoding()
    {
        const ErrorDecoding d = DecodeErrorNumber(1008);
        QCOMPARE(QByteArray(d.text), QByteArray("Target position out of machine volume"));
        QCOMPARE(d.defaultSeverity, 3);
        QCOMPARE(QByteArray(d.owner), QByteArray("Cartesian CMM"));
        QCOMPARE(QByteArray(DecodeErrorNumber(8100).owner), QByteArray("server-defined"));
        QVERIFY(DecodeErrorNumber(6000).reserved);
        QVERIFY(!DecodeErrorNumber(9001).text);
        QVERIFY(!NeedsClearAllErrors(2, RuleSet(Profile::Spec143)));
        QVERIFY(NeedsClearAllErrors(2, RuleSet(Profile::Nist)));
        QVERIFY(NeedsClearAllErrors(9, RuleSet(Profile::Spec143)));
        QVERIFY(!NeedsClearAllErrors(1, RuleSet(Profile::V2)));
        QVERIFY(!SeverityMeaning(4));
    }

    void badInputIsFindingsNotCrashes()
    {
        ProtocolChecker c;
        QVector<Finding> found;
        c.setFindingHandler([&](const Finding &f) { found.append(f); });
        const QByteArray junk[] = {"",
                                   "x",
                                   "0001 Home()",
                                   "E00000 Foo()",
                                   "00001",
                                   "00001 ",
                                   "\xff\x01\x7f",
                                   QByteArray(100000, 'A'),
                                   "99999 \xe9()"};
        for (const QByteArray &l : junk) {
            const int before = found.size();
            c.feed(Leg::Operator, Direction::ToServer, -1, l);
            QVERIFY2(found.size() > before, l.left(20).constData());
        }
        for (const QByteArray &l : junk) {
            const int before = found.size();
            c.feed(Leg::Relay, Direction::FromServer, -1, l);
            QVERIFY2(found.size() > before, l.left(20).constData());
        }
        // A daemon started under a command tag completes without harm.
        const QByteArray daemon = Transcript(
            {"C: 00001 OnMoveReportE(Time(0.5), X())", "S: 00001 &", "S: 00001 %", "C: 00002 Home()"});
        QCOMPARE(CheckMidSession(daemon).count(Rule::EventTag), 1);
        // A reply before any command on a leg.
        ProtocolChecker fresh;
        fresh.feed(Leg::Relay, Direction::FromServer, -1, "00001 &");
        QCOMPARE(fresh.findingCount(Rule::UnknownTag, Severity::Error), 1);
    }

    void openTransactionsAreCapped()
    {
        ProtocolChecker c;
        c.setOpenCap(1000);
        for (int i = 1; i <= 50000; ++i)
            c.feed(Leg::Operator, Direction::ToServer, i, TagText(quint32(i)) + " Home()");
        QCOMPARE(c.findingCount(Rule::OpenLimit, Severity::Warning), 1);
        QVERIFY(c.totals(Leg::Operator).open <= 1000);
        c.finish();
        QCOMPARE(c.findingCount(Rule::Order, Severity::Warning), 1); // one line for what stays open
    }

    void completedRingAndStatistics()
    {
        ProtocolChecker c;
        qint64 t = 0;
        const int total = ProtocolChecker::RingSize + 5000;
        for (int i = 0; i < total; ++i) {
            const QByteArray tag = TagText(quint32(i % 99999 + 1));
            c.feed(Leg::Operator, Direction::ToServer, t, tag + " GoTo(X(1))");
            c.feed(Leg::Operator, Direction::FromServer, t + 1000, tag + " &");
            c.feed(Leg::Operator, Direction::FromServer, t + 1000 + (i % 100) * 1000, tag + " %");
            t += 200000;
        }
        QCOMPARE(c.findingCount(), 0);
        QCOMPARE(c.completedCount(), ProtocolChecker::RingSize);
        QCOMPARE(c.completed(0).commandLine, qint64(5000) * 3 + 1); // the oldest kept
        QCOMPARE(c.completed(ProtocolChecker::RingSize - 1).tDone
                     - c.completed(ProtocolChecker::RingSize - 1).tSent,
                 qint64(1000 + ((total - 1) % 100) * 1000));
        QCOMPARE(c.methodCount(), 1);
        const MethodStats &s = c.methodStats(0);
        QCOMPARE(s.count, qint64(total));
        QCOMPARE(s.toAck.max(), qint64(1000));
        QVERIFY(qAbs(s.toAck.quantile(0.5) - 1000) <= 40);
        QCOMPARE(s.toDone.max(), qint64(100000));
        QVERIFY(qAbs(s.toDone.quantile(0.5) - 50000) <= 3000);
        QVERIFY(qAbs(s.toDone.quantile(0.95) - 95000) <= 5000);
        QCOMPARE(c.totals(Leg::Operator).completed, qint64(total));
    }

    void methodTableIsBounded()
    {
        ProtocolChecker c;
        for (int i = 0; i < 5000; ++i)
            c.feed(Leg::Operator, Direction::ToServer, -1,
                   TagText(quint32(i + 1)) + " M" + QByteArray::number(i) + "()");
        QVERIFY(c.methodCount() <= ProtocolChecker::MaxMethods);
    }

    // Each data-kind family: one conforming and one breaking exchange, inside a session.
    void dataKinds_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("good");
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<int>("profile");
        const QByteArray ijkScan = "OnScanReport(X(), Y(), Z(), IJK())";
        QTest::newRow("scan, default points")
            << QByteArray("ScanOnLine(2,2,2,4,4,4,1,1,1,.1)") << QByteArray("1,2,3,0,1.5,2,3,0,1.6,2,3,0")
            << QByteArray("1,2,3,0,1.5,2") << int(Profile::Spec143);
        QTest::newRow("scan after OnScanReport")
            << QByteArray(ijkScan + "|ScanInPlaneEndIsSphere(0,0,0,0,0,1,2,0,0,0.5,9,0,0,1.4,0,0,1)")
            << QByteArray("1,2,3,0,0,1,1,2,3,0,0,1") << QByteArray("1,2,3,0,0,1,7") << int(Profile::Nist);
        QTest::newRow("AlignTool, two vectors") << QByteArray("AlignTool(0,-1,0,0.6,0.0,0.8,30,45)")
                                                << QByteArray("(0.0, -1.0, 0.0, 0.6, 0.0, 0.8)")
                                                << QByteArray("(0.0, -1.0, 0.0)") << int(Profile::Spec143);
        QTest::newRow("AlignPart, one vector")
            << QByteArray("AlignPart(0, -1, 0, 0.6, 0.0, 0.8, 1.0)") << QByteArray("(0.6, 0.0, 0.8)")
            << QByteArray("(0.6, 0.0)") << int(Profile::Spec143);
        QTest::newRow("CenterPart") << QByteArray("CenterPart(1, 2, 3, 0.1)") << QByteArray("CenterPart(1)")
                                    << QByteArray("CenterPart(yes)") << int(Profile::Spec143);
        QTest::newRow("IsHomed") << QByteArray("IsHomed()") << QByteArray("IsHomed(0)")
                                 << QByteArray("Homed(1)") << int(Profile::Spec143);
        QTest::newRow("GetDMEVersion") << QByteArray("GetDMEVersion()") << QByteArray("DMEVersion(\"1.4\")")
                                       << QByteArray("\"1.4\"") << int(Profile::Spec143);
        QTest::newRow("EnumTools") << QByteArray("EnumTools()") << QByteArray("\"RefTool\"")
                                   << QByteArray("RefTool, NoTool") << int(Profile::Spec143);
        QTest::newRow("GetSupportedCommands") << QByteArray("GetSupportedCommands()")
                                              << QByteArray("\"GoTo\"") << QByteArray() << int(Profile::V2);
        QTest::newRow("GetSupportedArguments")
            << QByteArray("GetSupportedArguments(\"GoTo\")") << QByteArray("X(), Y(), Z()") << QByteArray()
            << int(Profile::V2);
    }
    void dataKinds()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, good);
        QFETCH(QByteArray, bad);
        QFETCH(int, profile);
        // A setup command may come first ("setup|command").
        QByteArray t = "C: 00001 StartSession()\nS: 00001 &\nS: 00001 %\n";
        const QList<QByteArray> parts = command.split('|');
        if (parts.size() == 2)
            t += "C: 00002 " + parts[0] + "\nS: 00002 &\nS: 00002 %\n";
        auto exchange = [&](const QByteArray &data) {
            QByteArray x = t + "C: 00003 " + parts.last() + "\nS: 00003 &\n";
            if (!data.isNull())
                x += "S: 00003 # " + data + "\nS: 00003 # " + data + "\n";
            return x + "S: 00003 %\n";
        };
        const CheckRun ok = CheckText(exchange(good), RuleSet(Profile(profile)));
        QVERIFY2(ok.findings.isEmpty(), qPrintable(ok.dump()));
        const CheckRun broken = CheckText(exchange(bad), RuleSet(Profile(profile)));
        QCOMPARE(broken.count(bad.isNull() ? Rule::Data : Rule::DataMatch), 1);
        QCOMPARE(broken.findings.size(), 1);
        if (profile == int(Profile::V2)) // unknown to the standard's own catalogue
            QCOMPARE(CheckText(exchange(good)).count(Rule::Method), 1);
    }

    // Data lines in the usual form and in the rarer ones: long values,
    // brackets and quotes inside an item, blanks, names that only begin alike.
    void itemsOfGetData_data()
    {
        QTest::addColumn<QByteArray>("asked");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("match");
        QTest::newRow("plain") << QByteArray("X(),Y(),Z()") << QByteArray("X(1.000), Y(2.000), Z(3.000)")
                               << true;
        QTest::newRow("long values") << QByteArray("X(), Y()")
                                     << QByteArray("X(1.0000000000000), Y(-2.5e+10)") << true;
        QTest::newRow("quoted bracket")
            << QByteArray("Tool.Name(), X()") << QByteArray("Tool.Name(\"a)b,c(\"), X(1)") << true;
        QTest::newRow("nested") << QByteArray("X(),Y()") << QByteArray("X(f(1,2)), Y(2)") << true;
        QTest::newRow("blanks") << QByteArray("X(),Y()") << QByteArray("  X(1) ,   Y(2)  ") << true;
        QTest::newRow("one more") << QByteArray("X(),Y()") << QByteArray("X(1), Y(2), Z(3)") << false;
        QTest::newRow("one less") << QByteArray("X(),Y()") << QByteArray("X(1.000000000)") << false;
        QTest::newRow("longer name") << QByteArray("X(),Y()") << QByteArray("XA(1), Y(2)") << false;
        QTest::newRow("shorter name") << QByteArray("XA(),Y()") << QByteArray("X(1.00000000), Y(2)") << false;
        QTest::newRow("unclosed") << QByteArray("X(),Y()") << QByteArray("X(1.00000000, Y(2)") << false;
        QTest::newRow("other order") << QByteArray("X(),Y()") << QByteArray("Y(2.0000000), X(1)") << false;
    }
    void itemsOfGetData()
    {
        QFETCH(QByteArray, asked);
        QFETCH(QByteArray, data);
        QFETCH(bool, match);
        const CheckRun run =
            CheckMidSession("C: 00001 Get(" + asked + ")\nS: 00001 &\nS: 00001 # " + data + "\nS: 00001 %\n");
        QCOMPARE(run.count(Rule::DataMatch), match ? 0 : 1);
        QCOMPARE(run.findings.size(), run.count(Rule::DataMatch));
    }

    // Long pipelines: the earliest open command is still found once the
    // send order has grown and wrapped around many times.
    void overlapInLongPipelines()
    {
        QByteArray t;
        int tag = 0;
        for (int round = 0; round < 5; ++round) {
            const int first = tag + 1;
            for (int i = 0; i < 300; ++i)
                t += QByteArray("C: ") + TagText(quint32(++tag)) + " Home()\n";
            for (int i = first; i <= tag; ++i)
                t += "S: " + TagText(quint32(i)) + " &\n";
            // The fifth of each round completes before the first four.
            t += "S: " + TagText(quint32(first + 4)) + " %\n";
            for (int i = first; i <= tag; ++i)
                if (i != first + 4)
                    t += "S: " + TagText(quint32(i)) + " %\n";
        }
        RuleSet rules;
        rules.set(Rule::AckFirst, false);
        const CheckRun run = CheckMidSession(t, rules);
        QCOMPARE(run.findings.size(), 5);
        for (const Finding &f : run.findings) {
            QCOMPARE(f.rule, Rule::Overlap);
            QVERIFY2(f.text.contains(QStringLiteral("before the '%' of ")), qPrintable(f.text));
        }
        QVERIFY(run.findings[4].text.contains(QStringLiteral("of 01201 ")));
    }

    void sessionBeginsAtTheConnection()
    {
        const QByteArray fresh = "C: 00001 GoTo(X(1))\nS: 00001 &\nS: 00001 %\n";
        QCOMPARE(CheckText(fresh).count(Rule::Session), 1);
        QCOMPARE(CheckMidSession(fresh).count(Rule::Session), 0);
        QCOMPARE(CheckText("C: 00001 EndSession()\nS: 00001 &\nS: 00001 %\n" + fresh).count(Rule::Session),
                 1);
        // A NIST log starts at its connection.
        QCOMPARE(CheckText("12:08:04_05:52:13 Sent: 00001 Home()\n12:08:04_05:52:13 Received: 00001 &\n"
                           "12:08:04_05:52:13 Received: 00001 %\n")
                     .count(Rule::Session),
                 1);
        // A Torvane log: from its connect line on; before one, inside a session.
        const QByteArray torvane = ">>> 00001 Home()\n<<< 00001 &\n<<< 00001 %\n";
        QCOMPARE(CheckText(torvane).count(Rule::Session), 0);
        QCOMPARE(CheckText("---------- Connected 10:00\n" + torvane).count(Rule::Session), 1);
        // The operator's commands in a session the relay client opened.
        QCOMPARE(CheckText("---------- Connected\n---------- Client connected\n>$> 00001 StartSession()\n"
                           "<$< 00001 &\n<$< 00001 %\n>>> 00002 Home()\n<<< 00002 &\n<<< 00002 %\n")
                     .findings.size(),
                 0);

        // Live: the relay client joins the server link's session as it stands.
        ProtocolChecker c;
        c.connectionReset(Leg::Operator);
        c.connectionReset(Leg::Relay);
        c.feed(Leg::Relay, Direction::ToServer, -1, "00001 Home()");
        QCOMPARE(c.findingCount(Rule::Session, Severity::Error), 1);
        for (const char *l : {"00001 &", "00001 %"})
            c.feed(Leg::Relay, Direction::FromServer, -1, l);
        c.feed(Leg::Operator, Direction::ToServer, -1, "00002 StartSession()");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00002 &");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00002 %");
        c.connectionReset(Leg::Relay);
        c.feed(Leg::Relay, Direction::ToServer, -1, "00003 Home()");
        c.feed(Leg::Relay, Direction::ToServer, -1, "00004 StartSession()");
        QCOMPARE(c.findingCount(Rule::Session, Severity::Error), 2); // the nested StartSession
    }

    void tagsSetAsideAreStillChecked()
    {
        // Tags rotated over more never-completed commands than the cap holds.
        ProtocolChecker c;
        c.setOpenCap(100);
        c.connectionReset(Leg::Operator, -1, StreamStart::InSession);
        for (int i = 0; i < 1000; ++i) {
            const QByteArray tag = TagText(quint32(i % 300 + 1));
            c.feed(Leg::Operator, Direction::ToServer, -1, tag + " Home()");
            c.feed(Leg::Operator, Direction::FromServer, -1, tag + " &");
        }
        QCOMPARE(c.findingCount(Rule::TagUnique, Severity::Error), 700);
        QVERIFY(c.totals(Leg::Operator).open <= 100);
        // A '%' for a tag set aside frees it.
        c.feed(Leg::Operator, Direction::FromServer, -1, "00001 %");
        c.feed(Leg::Operator, Direction::ToServer, -1, "00001 Home()");
        QCOMPARE(c.findingCount(Rule::TagUnique, Severity::Error), 700);
        QCOMPARE(c.findingCount(Rule::Order, Severity::Error), 0);
    }

    void repeatedCausesAreNamed()
    {
        const CheckRun pipe = CheckFile(Data + "/patterns/pipelining.txt");
        const QVector<RepeatedCause> none = pipe.checker->repeatedCauses();
        QVERIFY(none.isEmpty()); // some commands there do wait
        const CheckRun greedy = CheckText(
            Transcript({"C: 00001 StartSession()", "S: 00001 &", "S: 00001 %", "C: 00002 Home()",
                        "C: 00003 Home()", "C: 00004 Home()", "C: 00005 Home()", "S: 00002 &", "S: 00002 %",
                        "S: 00003 &", "S: 00003 %", "S: 00004 &", "S: 00004 %", "S: 00005 &", "S: 00005 %"}));
        QVector<RepeatedCause> causes = greedy.checker->repeatedCauses();
        QCOMPARE(causes.size(), 0); // StartSession was waited for
        const CheckRun never =
            CheckText(Transcript({"C: 00001 StartSession()", "C: 00002 Home()", "C: 00003 Home()",
                                  "C: 00004 Home()", "S: 00001 &", "S: 00001 %", "S: 00002 &", "S: 00002 %",
                                  "S: 00003 &", "S: 00003 %", "S: 00004 &", "S: 00004 %"}));
        causes = never.checker->repeatedCauses();
        QCOMPARE(causes.size(), 1);
        QCOMPARE(causes[0].count, 3);
        QVERIFY(causes[0].sentence.contains("never waits for '&'"));
        const CheckRun swapped = CheckFile(Data + "/patterns/swapped-markers.txt");
        causes = swapped.checker->repeatedCauses();
        QCOMPARE(causes.size(), 1);
        QCOMPARE(causes[0].party, Party::Server);
        QVERIFY(causes[0].sentence.contains("'#' as acknowledge"));
        for (const Finding &f : swapped.findings)
            QCOMPARE(f.party, Party::Server);
    }

    void catalogueAndExplanations()
    {
        for (int i = 0; i < RuleCount; ++i) {
            const Explanation &e = RuleExplanation(Rule(i));
            QVERIFY(e.who && *e.who && e.effect && *e.effect && e.fix && *e.fix);
        }
        QVERIFY(QByteArray(RuleExplanation(Rule::AckFirst).who).startsWith("The client"));
        for (const MethodInfo *m : Catalogue(Profile::V2))
            QCOMPARE(FindMethod(m->name, Profile::V2), m);
        QVERIFY(!FindMethod("GetSupportedCommands", Profile::Nist));
        QVERIFY(FindMethod("ScanInCylEndIsPlane", Profile::Nist));
        QVERIFY(IsVendorMethod("CZ.Scan") && !IsVendorMethod("Cz.Scan") && !IsVendorMethod("XYZ.Scan"));
        QCOMPARE(ScanPointValues("X(), Y(), Z(), IJK(), Q()"), 7);
        QCOMPARE(ScanPointValues(" "), 0);
    }

    void hostileData()
    {
        ProtocolChecker c;
        c.connectionReset(Leg::Operator, -1, StreamStart::InSession);
        // A method name of 100,000 characters, and 10,000 distinct unknown names.
        c.feed(Leg::Operator, Direction::ToServer, -1, "00001 " + QByteArray(100000, 'M') + "()");
        for (int i = 0; i < 10000; ++i)
            c.feed(Leg::Operator, Direction::ToServer, -1,
                   TagText(quint32(i % 90000 + 2)) + " Unknown" + QByteArray::number(i) + "()");
        QCOMPARE(c.findingCount(Rule::Method, Severity::Note), 10001);
        QVERIFY(c.methodCount() <= ProtocolChecker::MaxMethods);
        // OnScanReport without arguments keeps the points as they were; a
        // scan line of a million points is checked as one line.
        c.connectionReset(Leg::Operator, -1, StreamStart::InSession);
        for (const char *l :
             {"00003 OnPtMeasReport()", "00003 &",
              "00003 ! Error(3, 0510, OnPtMeasReport, "
              "\"Bad property\")",
              "00003 %", "00004 PtMeas(X(1))", "00004 &", "00004 # X(1), Y(2), Z(3)", "00004 %"})
            c.feed(Leg::Operator,
                   l[6] == '&' || l[6] == '!' || l[6] == '#' || l[6] == '%' ? Direction::FromServer
                                                                            : Direction::ToServer,
                   -1, l);
        QCOMPARE(c.findingCount(Rule::DataMatch, Severity::Error), 0);
        c.feed(Leg::Operator, Direction::ToServer, -1, "00005 ClearAllErrors()");
        for (const char *l : {"00001 OnScanReport()", "00002 ScanOnLine(0,0,0,1,0,0,0,0,1,0.000001)"})
            c.feed(Leg::Operator, Direction::ToServer, -1, l);
        QByteArray points = "00002 # 0";
        points.reserve(8 * 1000000);
        for (int i = 1; i < 4 * 1000000; ++i)
            points += ",0";
        c.feedLong(Leg::Operator, Direction::FromServer, -1, QByteArrayView(points).first(KeptLineLength),
                   points.size());
        QCOMPARE(c.findingCount(Rule::Length, Severity::Warning), 2); // the long name's line too
        QCOMPARE(c.findingCount(Rule::DataMatch, Severity::Error), 0); // cut short: whole points not known
    }
};

QTEST_GUILESS_MAIN(TestChecker)
#include "tst_checker.moc"
