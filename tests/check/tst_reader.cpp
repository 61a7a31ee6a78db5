// Reading saved traffic: format recognition, both legs of Torvane's logs
// with and without time stamps, NIST logs, line ends, and files that are no
// logs, empty, binary, cut short or hold enormous lines.

#include "checksupport.h"

#include <QTest>

using namespace check;

namespace {
const QString Data = QStringLiteral(CHECK_DATA);
}

class TestReader : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recognisesFormats_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("format");
        QTest::newRow("torvane stamped") << "logs/torvane-stamped.txt" << int(LogFormat::Torvane);
        QTest::newRow("torvane plain") << "logs/torvane-plain.txt" << int(LogFormat::Torvane);
        QTest::newRow("nist client") << "nist/Get_Client.log" << int(LogFormat::NistClient);
        QTest::newRow("nist server") << "nist/Error_Server.log" << int(LogFormat::NistServer);
        QTest::newRow("transcript") << "patterns/pipelining.txt" << int(LogFormat::Transcript);
        QTest::newRow("empty") << "logs/empty.txt" << int(LogFormat::Empty);
        QTest::newRow("binary") << "logs/binary.bin" << int(LogFormat::Binary);
        QTest::newRow("prose") << "logs/prose.txt" << int(LogFormat::Unknown);
    }
    void recognisesFormats()
    {
        QFETCH(QString, file);
        QFETCH(int, format);
        const CheckRun run = CheckFile(Data + '/' + file);
        QCOMPARE(int(run.result.format), format);
        QCOMPARE(run.result.traffic > 0, format >= int(LogFormat::Torvane));
    }

    void torvaneLogsWithAndWithoutStamps()
    {
        const CheckRun stamped = CheckFile(Data + "/logs/torvane-stamped.txt");
        const CheckRun plain = CheckFile(Data + "/logs/torvane-plain.txt");
        QCOMPARE(stamped.result.traffic, qint64(19)); // the rewritten copy and connection lines aside
        QCOMPARE(plain.result.traffic, stamped.result.traffic);
        QCOMPARE(stamped.result.unrecognised, qint64(0));
        // The relay client's tag 00017 came back after its '%': on the relay leg.
        QCOMPARE(stamped.findings.size(), 1);
        QCOMPARE(stamped.findings[0].rule, Rule::Order);
        QCOMPARE(stamped.findings[0].leg, Leg::Relay);
        QCOMPARE(stamped.findings[0].line, qint64(20));
        QCOMPARE(plain.findings.size(), 1);
        QCOMPARE(plain.findings[0].line, qint64(20));
        // Both legs counted, and the time stamps give the timing.
        QCOMPARE(stamped.checker->totals(Leg::Operator).completed, qint64(3));
        QCOMPARE(stamped.checker->totals(Leg::Relay).completed, qint64(2));
        for (int m = 0; m < stamped.checker->methodCount(); ++m)
            if (stamped.checker->methodName(m) == "GetProp")
                QCOMPARE(stamped.checker->methodStats(m).toDone.max(), qint64(30000));
    }

    void sameLineNumbersAsTheFile()
    {
        const CheckRun run = CheckMidSession("C: 00001 Home()\n\n; remark\nS: 00001 &\nS: 00001 % x\n");
        QCOMPARE(run.findings.size(), 1);
        QCOMPARE(run.findings[0].line, qint64(5));
        QCOMPARE(run.result.lines, qint64(5));
    }

    void lineEndsOnlyWhereRecorded()
    {
        // Plain LF transcripts record no line ends; files with CRs do.
        QCOMPARE(CheckMidSession("C: 00001 Home()\nS: 00001 &\nS: 00001 %\n").findings.size(), 0);
        QCOMPARE(CheckMidSession("C: 00001 Home()\r\nS: 00001 &\r\nS: 00001 %\r\n").findings.size(), 0);
        const CheckRun mixed = CheckMidSession("C: 00001 Home()\r\nS: 00001 &\nS: 00001 %\r\n");
        QCOMPARE(mixed.count(Rule::Crlf), 1);
        QCOMPARE(mixed.findings[0].line, qint64(2));
    }

    void cutShortAndHugeLines()
    {
        const CheckRun cut = CheckFile(Data + "/logs/truncated.txt");
        QVERIFY(cut.result.truncated);
        QCOMPARE(cut.result.traffic, qint64(4));

        // A 5 MB line is cut in memory but counted in full.
        QByteArray text = "C: 00001 GetProp(Tool.Name())\nS: 00001 &\nS: 00001 # Tool.Name(\"";
        text += QByteArray(5 << 20, 'A');
        text += "\")\nS: 00001 %\n";
        const CheckRun huge = CheckMidSession(text);
        QCOMPARE(huge.count(Rule::Length), 1);
        QVERIFY(huge.findings[0].text.contains(QString::number((5 << 20) + 21)));
        QVERIFY(!huge.result.truncated);
        QCOMPARE(huge.checker->totals(Leg::Operator).completed, qint64(1));
    }

    void nistLogsBothSides()
    {
        const CheckRun client = CheckFile(Data + "/nist/Get_Client.log");
        const CheckRun server = CheckFile(Data + "/nist/Error_Server.log");
        QVERIFY(client.checker->totals(Leg::Operator).linesToServer > 5);
        QCOMPARE(client.checker->totals(Leg::Operator).commands,
                 client.checker->totals(Leg::Operator).completed);
        QCOMPARE(server.checker->totals(Leg::Operator).commands, qint64(6));
        QCOMPARE(server.checker->totals(Leg::Operator).errorLines, qint64(1));
        QCOMPARE(server.checker->totals(Leg::Operator).completed, qint64(6));
    }

    // Lines around every size the reader works with end where they end: no
    // false R-CRLF, and R-LENGTH only past the rule's limit.
    void longLinesAroundEveryBuffer_data()
    {
        QTest::addColumn<qsizetype>("length");
        for (qsizetype edge : {RuleLineLimit, KeptLineLength, LogReader::HeadSize, LogReader::ChunkSize})
            for (qsizetype d : {-2, -1, 0, 1, 2})
                QTest::newRow(qPrintable(QString::number(edge + d))) << edge + d;
        QTest::newRow("70000") << qsizetype(70000);
    }
    void longLinesAroundEveryBuffer()
    {
        QFETCH(qsizetype, length);
        const QByteArray start = "C: 00001 StartSession()\r\nS: 00001 &\r\nS: 00001 %\r\n"
                                 "C: 00002 Get(X())\r\nS: 00002 &\r\n";
        const QByteArray data = "S: 00002 # X(" + QByteArray(length - 11, '1') + ")";
        QCOMPARE(data.size() - 3, length); // the protocol line, without "S: "
        const CheckRun run = CheckText(start + data + "\r\nS: 00002 %\r\n");
        QCOMPARE(run.count(Rule::Crlf), 0);
        QCOMPARE(run.count(Rule::Length), length > RuleLineLimit ? 1 : 0);
        if (length > RuleLineLimit)
            QVERIFY(run.findings[0].text.contains(QString::number(length) + " characters"));
        QCOMPARE(run.checker->totals(Leg::Operator).completed, qint64(2));
        // The same in a Torvane log: its lines hold no line ends of the wire.
        const CheckRun log = CheckText("---------- Connected\r\n>>> 00001 StartSession()\r\n<<< 00001 &\r\n"
                                       "<<< 00001 %\r\n<<< 00002 # "
                                       + QByteArray(length - 8, 'A') + "\r\n");
        QCOMPARE(log.count(Rule::Crlf), 0);
        QCOMPARE(log.count(Rule::Length), length > RuleLineLimit ? 1 : 0);
    }

    void bytesAPeerSentKeepALogALog()
    {
        QByteArray log = "---------- Connected\n>>> 00001 StartSession()\n<<< 00001 &\n<<< 00001 %\n"
                         ">>> 00002 GetErrorInfo(1)\n<<< 00002 &\n<<< 00002 # \"a?b\"\n<<< 00002 %\n";
        log[log.indexOf("a?b") + 1] = '\0'; // in the first 64 KiB
        const CheckRun run = CheckText(log);
        QCOMPARE(run.result.format, LogFormat::Torvane);
        QCOMPARE(run.count(Rule::Charset), 1);
        QCOMPARE(run.findings.size(), 1);
        // A file of control bytes and NULs is still no log.
        QByteArray noise(4096, '\0');
        for (int i = 0; i < noise.size(); i += 7)
            noise[i] = char(i % 31);
        QCOMPARE(DetectFormat(noise), LogFormat::Binary);
    }
};

QTEST_GUILESS_MAIN(TestReader)
#include "tst_reader.moc"
