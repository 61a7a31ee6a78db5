// torvane-check as a program: output format, options, JSON, exit status.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString Data = QStringLiteral(CHECK_DATA);

struct Run {
    int code = -1;
    QByteArray out, err;
};

Run Check(const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(Data);
    p.start(QStringLiteral(TORVANE_CHECK_BINARY), args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
} // namespace

class TestCheckCli : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void helpListsTheRules()
    {
        const Run r = Check({"--help"});
        QCOMPARE(r.code, 0);
        for (const char *id :
             {"R-CHARSET",     "R-CRLF",       "R-LENGTH",       "R-TAG-FORMAT",   "R-TAG-UNIQUE",
              "R-EVENT-TAG",   "R-E0000",      "R-REPLY-FORMAT", "R-ERROR-FORMAT", "R-ORDER",
              "R-ACK-FIRST",   "R-OVERLAP",    "R-UNKNOWN-TAG",  "R-DATA ",        "R-DATA-MATCH",
              "R-ERROR-STATE", "R-ERROR-TEXT", "R-SESSION",      "R-ABORT",        "R-DAEMON",
              "R-METHOD",      "--profile",    "--fail-on",      "--json",         "--explain",
              "--mid-session"})
            QVERIFY2(r.out.contains(id), id);
    }

    void findingsAndExitStatus()
    {
        Run r = Check({"patterns/pipelining.txt"});
        QCOMPARE(r.code, 1);
        const QList<QByteArray> lines = r.out.split('\n');
        QCOMPARE(lines[0],
                 QByteArray("patterns/pipelining.txt:6: error: R-ACK-FIRST: 00003: command sent before "
                            "the '&' of 00002 (line 5)"));
        QVERIFY(r.out.contains("R-ACK-FIRST     3 errors, 0 warnings, 0 notes"));
        QVERIFY(r.out.contains("timing per method"));

        QCOMPARE(Check({"rules/order-ok.txt"}).code, 0);
        QCOMPARE(Check({"--disable", "R-ACK-FIRST", "patterns/pipelining.txt"}).code, 0);
        QCOMPARE(Check({"--disable", "all", "--enable", "ack-first", "patterns/pipelining.txt"}).code, 1);
        // Notes fail only when asked to.
        QCOMPARE(Check({"nist/AbortE_TestWhileMoving_Client.log"}).code, 0);
        QCOMPARE(Check({"--fail-on", "note", "nist/AbortE_TestWhileMoving_Client.log"}).code, 1);
        // Data in the server's own order: a warning under the strict profile only.
        QCOMPARE(Check({"--fail-on", "warning", "nist/Get_Client.log"}).code, 1);
        QCOMPARE(Check({"--fail-on", "warning", "--profile", "nist", "nist/Get_Client.log"}).code, 0);
    }

    void followOnsUnderTheirRoot()
    {
        Run r = Check({"patterns/six-faults.txt"});
        QCOMPARE(r.code, 1);
        const QList<QByteArray> lines = r.out.split('\n');
        const qsizetype reuse = lines.indexOf("patterns/six-faults.txt:13: error: R-TAG-UNIQUE: 00004: tag "
                                              "still in use by the command at line 11");
        QVERIFY2(reuse >= 0, r.out.constData());
        QVERIFY(lines[reuse + 1].startsWith("    patterns/six-faults.txt:14: error: R-ORDER: 00004: "));
        QVERIFY(lines[reuse + 1].endsWith("(follows from R-TAG-UNIQUE at line 13)"));
        QVERIFY(lines[reuse + 5].startsWith("    ") && !lines[reuse + 6].startsWith("    "));
        QVERIFY(r.out.contains("\n  6 faults, 5 follow-ons\n"));
        QVERIFY(r.out.contains("R-ORDER         4 errors, 0 warnings, 0 notes (4 follow-ons)"));
        // What to fix lists the faults only; the leg counts the malformed line.
        QVERIFY(!r.out.contains(QByteArray("R-ORDER").leftJustified(16) + "       4"));
        QVERIFY2(r.out.contains("1 malformed line, 1 error line, 0 open; 11 findings"), r.out.constData());

        r = Check({"--json", "patterns/six-faults.txt"});
        const QJsonObject file =
            QJsonDocument::fromJson(r.out).object().value("files").toArray()[0].toObject();
        const QJsonArray findings = file.value("findings").toArray();
        int followOns = 0;
        for (const QJsonValue &v : findings) {
            const QJsonObject cause = v.toObject().value("cause").toObject();
            if (cause.isEmpty())
                continue;
            ++followOns;
            QCOMPARE(cause.value("rule").toString(), QStringLiteral("R-TAG-UNIQUE"));
            QCOMPARE(cause.value("line").toInt(), 13);
            QCOMPARE(v.toObject().value("party").toString(), QStringLiteral("client"));
        }
        QCOMPARE(followOns, 5);
        QCOMPARE(file.value("root_causes").toInt(), 6);
        QCOMPARE(file.value("follow_ons").toInt(), 5);
    }

    void filesThatAreNoLogs()
    {
        Run r = Check({"logs/empty.txt"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains("no traffic"));
        r = Check({"logs/binary.bin"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("binary"));
        r = Check({"logs/prose.txt"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("not a traffic log"));
        r = Check({"logs/truncated.txt"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("truncated"));
        r = Check({"no/such/file.log"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("cannot read"));
        // The worst file decides.
        QCOMPARE(Check({"rules/order-ok.txt", "logs/binary.bin", "patterns/pipelining.txt"}).code, 2);
    }

    void badOptions()
    {
        QCOMPARE(Check({"--profile", "3.0", "rules/order-ok.txt"}).code, 2);
        QCOMPARE(Check({"--disable", "R-NOTHING", "rules/order-ok.txt"}).code, 2);
        QCOMPARE(Check({"--fail-on", "panic", "rules/order-ok.txt"}).code, 2);
        QCOMPARE(Check({}).code, 2);
    }

    void jsonReport()
    {
        const Run r = Check({"--json", "patterns/swapped-markers.txt", "nist/Error_Server.log"});
        QCOMPARE(r.code, 1);
        QJsonParseError e;
        const QJsonDocument doc = QJsonDocument::fromJson(r.out, &e);
        QVERIFY2(e.error == QJsonParseError::NoError, qPrintable(e.errorString() + "\n" + r.out));
        const QJsonArray files = doc.object().value("files").toArray();
        QCOMPARE(files.size(), 2);
        const QJsonObject first = files[0].toObject();
        QCOMPARE(first.value("format").toString(), QStringLiteral("transcript"));
        QVERIFY(first.value("findings").toArray().size() >= 4);
        const QJsonObject f0 = first.value("findings").toArray()[0].toObject();
        QCOMPARE(f0.value("rule").toString(), QStringLiteral("R-REPLY-FORMAT"));
        QCOMPARE(f0.value("line").toInt(), 3);
        QVERIFY(first.value("summary").toObject().contains("R-ORDER"));
        QCOMPARE(first.value("causes").toArray()[0].toObject().value("party").toString(),
                 QStringLiteral("server"));
        QCOMPARE(f0.value("party").toString(), QStringLiteral("server"));
        const QJsonObject second = files[1].toObject();
        QCOMPARE(second.value("status").toInt(), 0);
        QVERIFY(second.value("methods").toArray().size() >= 4);
        QCOMPARE(doc.object().value("status").toInt(), 1);
    }

    void transcriptsNeverSeen()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("t.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("C: 00010 StartSession()\nS: 00010 &\nS: 00010 %\nC: 00011 GoTo(X(1))\nS: 00011 &\n"
                "C: 00012 Home()\nS: 00012 &\nS: 00012 %\nS: 00011 %\nC: 00013 EndSession()\nS: 00013 &\n"
                "S: 00013 %\n");
        f.close();
        const Run r = Check({path});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(":8: error: R-OVERLAP: 00012:"), r.out.constData());
    }

    void explainsEveryRule()
    {
        const QStringList ids = {"R-CHARSET",      "R-CRLF",      "R-LENGTH",      "R-TAG-FORMAT",
                                 "R-TAG-UNIQUE",   "R-EVENT-TAG", "R-E0000",       "R-REPLY-FORMAT",
                                 "R-ERROR-FORMAT", "R-ORDER",     "R-ACK-FIRST",   "R-OVERLAP",
                                 "R-UNKNOWN-TAG",  "R-DATA",      "R-DATA-MATCH",  "R-ERROR-STATE",
                                 "R-ERROR-TEXT",   "R-SESSION",   "R-ABORT",       "R-DAEMON",
                                 "R-OPEN-LIMIT",   "R-METHOD",    "R-CAPTURE-GAP", "R-CAPTURE-DIFF"};
        for (const QString &id : ids) {
            const Run r = Check({"--explain", id});
            QCOMPARE(r.code, 0);
            QVERIFY2(r.out.startsWith((id + ": ").toLatin1()), r.out.constData());
            for (const char *part : {"Who breaks it: ", "What it leads to: ", "What to change: "})
                QVERIFY2(r.out.contains(part), qPrintable(id));
        }
        const Run ack = Check({"--explain", "ack-first"});
        QVERIFY(ack.out.contains("Who breaks it: The client"));
        QVERIFY(ack.out.contains("Buffer full"));
        QCOMPARE(Check({"--explain", "all"}).out.count("What to change: "), ids.size());
        QCOMPARE(Check({"--explain", "R-NOTHING"}).code, 2);
    }

    void summarySaysWhatToFix()
    {
        Run r = Check({"patterns/swapped-markers.txt"});
        const qsizetype fix = r.out.indexOf("what to fix");
        QVERIFY2(fix > 0, r.out.constData());
        QVERIFY(r.out.indexOf("server uses '#' as acknowledge", fix) > fix);
        QVERIFY(r.out.contains(QByteArray("R-ORDER").leftJustified(16) + "       3 (server 3): "));
        // The catalogue in the help, and a transcript cut from a session.
        r = Check({"--help"});
        QVERIFY(r.out.contains("CenterPart") && r.out.contains("GetSupportedCommands"));
        QCOMPARE(Check({"rules/method-bad.txt"}).code, 0); // a note
        QTemporaryDir dir;
        QFile f(dir.filePath("mid.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("C: 00011 GoTo(X(1))\nS: 00011 &\nS: 00011 %\n");
        f.close();
        QCOMPARE(Check({f.fileName()}).code, 1);
        QCOMPARE(Check({"--mid-session", f.fileName()}).code, 0);
    }
};

QTEST_GUILESS_MAIN(TestCheckCli)
#include "tst_cli.moc"
