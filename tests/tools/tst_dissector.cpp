// The Wireshark dissector (tools/wireshark/ippdme.lua) run by tshark over
// captures this test writes with text2pcap: its fields and transactions,
// TCP reassembly, the heuristic for other ports, and expert info that agrees
// with the checker on the rules both see. Without tshark it fails.

#include "check/checksupport.h"
#include "check/rules.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <set>

namespace {

const QString Lua = QStringLiteral(DISSECTOR_LUA);

// One TCP segment of a conversation, `ms` after its start.
struct Segment {
    bool client;
    double ms;
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(QVector<Segment>)

namespace {

// The rules a single pass over one conversation sees.
const QStringList DissectorRules = {
    QStringLiteral("R-CHARSET"),      QStringLiteral("R-CRLF"),  QStringLiteral("R-TAG-FORMAT"),
    QStringLiteral("R-TAG-UNIQUE"),   QStringLiteral("R-E0000"), QStringLiteral("R-REPLY-FORMAT"),
    QStringLiteral("R-ERROR-FORMAT"), QStringLiteral("R-ORDER"), QStringLiteral("R-ACK-FIRST"),
    QStringLiteral("R-UNKNOWN-TAG"),
};

// Every line a segment of its own, 1 ms apart.
QVector<Segment> OneLineEach(const QList<QPair<bool, QByteArray>> &lines)
{
    QVector<Segment> out;
    for (const auto &l : lines)
        out.append({l.first, double(out.size()), l.second});
    return out;
}

// Traffic made up from pieces, one line a segment: tags, commands and replies
// that fit together and that don't, odd line ends and bytes.
QVector<Segment> Generated(quint32 seed)
{
    QRandomGenerator random(seed);
    const char *tags[] = {"00001", "00002", "00003", "E0001", "E0002", "E0000", "00000", "0001x"};
    const char *commands[] = {"StartSession()",    "EndSession()",    "GoTo(X(1))",
                              "Get(X())",          "Home()",          "OnMoveReportE(Time(0.5), X())",
                              "StopDaemon(E0001)", "AbortE()",        "ClearAllErrors()",
                              "GetErrStatusE()",   "StopAllDaemons()"};
    const char *replies[] = {"&",
                             "%",
                             "# X(1)",
                             "! Error(3, 0509, GoTo, \"Bad argument\")",
                             "! Error(1, 0504, GoTo, \"Argument out of range\")",
                             "! Error(2, 0001, , \"Illegal tag\")",
                             "! Error(9, 12, x, \"y\")",
                             "! Oops",
                             "& x",
                             "?"};
    QList<QPair<bool, QByteArray>> lines;
    for (int n = 0; n < 60; ++n) {
        const bool client = random.bounded(10) < 4;
        QByteArray line = QByteArray(tags[random.bounded(8)]) + ' '
            + (client ? commands[random.bounded(11)] : replies[random.bounded(10)]);
        if (random.bounded(20) == 0)
            line.remove(5, 1);
        if (random.bounded(30) == 0)
            line += '\x07';
        const int end = random.bounded(100);
        line += end < 85 ? "\r\n" : end < 93 ? "\n" : "\n\r";
        lines.append({client, line});
    }
    return OneLineEach(lines);
}

// The same conversation as a transcript the checker reads.
QByteArray Transcript(const QVector<Segment> &segments)
{
    QByteArray out;
    for (const Segment &s : segments)
        out += (s.client ? "C: " : "S: ") + s.bytes;
    return out;
}

} // namespace

class TestDissector : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString tshark, text2pcap;
    int files = 0;

    // Writes `segments` as a pcapng with text2pcap: the client's TCP port
    // `clientPort` talks to `serverPort`, over IPv6 when asked.
    QString capture(const QVector<Segment> &segments, int serverPort = 1294, bool ipv6 = false)
    {
        QByteArray dump;
        for (const Segment &s : segments) {
            const qint64 us = qint64(s.ms * 1000 + 0.5);
            // text2pcap's inbound side is the one -T and -4/-6 name first: the client.
            dump += QStringLiteral("%1 10:00:%2.%3\n")
                        .arg(QLatin1Char(s.client ? 'I' : 'O'))
                        .arg(us / 1000000, 2, 10, QLatin1Char('0'))
                        .arg(us % 1000000, 6, 10, QLatin1Char('0'))
                        .toLatin1();
            for (int i = 0; i < s.bytes.size(); i += 16) {
                dump += QByteArray::number(i, 16).rightJustified(6, '0');
                for (int j = i; j < qMin(i + 16, int(s.bytes.size())); ++j)
                    dump += ' ' + QByteArray::number(uchar(s.bytes[j]), 16).rightJustified(2, '0');
                dump += '\n';
            }
            dump += '\n';
        }
        const QString base = dir.filePath(QStringLiteral("c%1").arg(++files));
        QFile text(base + QStringLiteral(".txt"));
        if (!text.open(QIODevice::WriteOnly) || text.write(dump) != dump.size())
            return {};
        text.close();
        QProcess p;
        p.start(text2pcap,
                {QStringLiteral("-q"), QStringLiteral("-D"), QStringLiteral("-t"),
                 QStringLiteral("%H:%M:%S.%f"), QStringLiteral("-T"),
                 QStringLiteral("50000,%1").arg(serverPort),
                 ipv6 ? QStringLiteral("-6") : QStringLiteral("-4"),
                 ipv6 ? QStringLiteral("2001:db8::1,2001:db8::2") : QStringLiteral("10.0.0.1,10.0.0.2"),
                 text.fileName(), base + QStringLiteral(".pcapng")});
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return {};
        return base + QStringLiteral(".pcapng");
    }

    // tshark's fields, one row a frame: every occurrence of a field in the
    // frame, joined by '|'. `twoPass` lets replies link forward to later frames.
    QList<QStringList> fields(const QString &pcap, const QStringList &names, bool twoPass = true)
    {
        QStringList args{QStringLiteral("-r"), pcap,
                         QStringLiteral("-X"), QStringLiteral("lua_script:") + Lua,
                         QStringLiteral("-T"), QStringLiteral("fields"),
                         QStringLiteral("-E"), QStringLiteral("occurrence=a"),
                         QStringLiteral("-E"), QStringLiteral("aggregator=|"),
                         QStringLiteral("-e"), QStringLiteral("frame.number")};
        if (twoPass)
            args.prepend(QStringLiteral("-2"));
        for (const QString &n : names)
            args << QStringLiteral("-e") << n;
        QProcess p;
        // A home of its own: a dissector installed in the user's plugin
        // folder would register the protocol a second time.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir.path());
        env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        p.setProcessEnvironment(env);
        p.start(tshark, args);
        QList<QStringList> rows;
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            qWarning("tshark failed: %s", p.readAllStandardError().constData());
            return rows;
        }
        const QByteArray err = p.readAllStandardError();
        if (err.contains("Lua") || err.contains("lua"))
            qWarning("tshark: %s", err.constData());
        for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList cols = QString::fromLatin1(line).split(QLatin1Char('\t'));
            cols.removeFirst(); // the frame number: rows are in frame order
            rows.append(cols);
        }
        return rows;
    }

    // "frame:R-RULE" for each of the dissector's expert messages.
    QStringList dissectorRules(const QString &pcap, bool twoPass = true)
    {
        QStringList out;
        const QList<QStringList> rows = fields(pcap, {QStringLiteral("_ws.expert.message")}, twoPass);
        static const QRegularExpression id(QStringLiteral("^(R-[A-Z0-9-]+):"));
        for (int i = 0; i < rows.size(); ++i)
            for (const QString &m : rows[i].value(0).split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
                const auto match = id.match(m);
                if (match.hasMatch())
                    out << QStringLiteral("%1:%2").arg(i + 1).arg(match.captured(1));
            }
        out.sort();
        return out;
    }

private Q_SLOTS:
    void initTestCase()
    {
        tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
        text2pcap = QStandardPaths::findExecutable(QStringLiteral("text2pcap"));
        if (tshark.isEmpty() || text2pcap.isEmpty())
            QFAIL("tshark and text2pcap are needed for the dissector's tests: install them with "
                  "tools/install-deps.sh (or apt-get install tshark)");
        QVERIFY(dir.isValid());
        QVERIFY2(QFile::exists(Lua), qPrintable(Lua));
    }

    // The table of predefined errors is the checker's, row for row.
    void errorTableIsTheCheckers()
    {
        QFile f(Lua);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromLatin1(f.readAll());
        const qsizetype from = text.indexOf(QLatin1String("local error_table = {"));
        const qsizetype to = text.indexOf(QLatin1String("\n}"), from);
        QVERIFY(from >= 0 && to > from);
        static const QRegularExpression row(QStringLiteral("\\{(\\d+), (\\d+), \"([^\"]*)\"\\}"));
        QMap<int, QPair<int, QString>> lua;
        for (auto it = row.globalMatch(text.mid(from, to - from)); it.hasNext();) {
            const auto m = it.next();
            QVERIFY2(!lua.contains(m.captured(1).toInt()), qPrintable(m.captured(0)));
            lua.insert(m.captured(1).toInt(), {m.captured(2).toInt(), m.captured(3)});
        }
        int inTable = 0;
        for (int n = 0; n <= 9999; ++n) {
            const check::ErrorDecoding d = check::DecodeErrorNumber(n);
            if (!d.text) {
                QVERIFY2(!lua.contains(n), qPrintable(QStringLiteral("%1 is no predefined error").arg(n)));
                continue;
            }
            ++inTable;
            QVERIFY2(lua.contains(n), qPrintable(QStringLiteral("%1 is missing").arg(n)));
            QCOMPARE(lua[n].first, d.defaultSeverity);
            QCOMPARE(lua[n].second, QString::fromLatin1(d.text));
        }
        QCOMPARE(lua.size(), inTable);
    }

    // A clean session on port 1294: what each line is, the links between a
    // command and its replies, the times, the Info column, no expert info.
    void cleanSession()
    {
        const QString pcap = capture({
            {true, 0, "00001 StartSession()\r\n"},
            {false, 1, "00001 &\r\n"},
            {false, 12.3, "00001 %\r\n"},
            {true, 20, "00017 GoTo(X(1), Y(2))\r\n"},
            {false, 20.5, "00017 &\r\n"},
            {false, 30, "00017 ! Error(2, 1001, GoTo, \"Illegal touch\")\r\n"},
            {false, 45.25, "00017 %\r\n"},
            {true, 50, "E0001 OnMoveReportE(Time(0.5), X())\r\n"},
            {false, 51, "E0001 &\r\n"},
            {false, 52, "E0001 %\r\n"},
            {false, 552, "E0001 # X(1.5)\r\n"},
            {false, 600, "E0000 # KeyPress(\"Done\")\r\n"},
        });
        QVERIFY(!pcap.isEmpty());
        const QList<QStringList> rows = fields(
            pcap,
            {QStringLiteral("ippdme.tag"), QStringLiteral("ippdme.kind"), QStringLiteral("ippdme.method"),
             QStringLiteral("ippdme.args"), QStringLiteral("ippdme.request_in"),
             QStringLiteral("ippdme.ack_in"), QStringLiteral("ippdme.response_in"),
             QStringLiteral("ippdme.ack_time"), QStringLiteral("ippdme.time"), QStringLiteral("_ws.col.Info"),
             QStringLiteral("_ws.expert.message")});
        QCOMPARE(rows.size(), 12);
        auto row = [&](int frame) { return rows[frame - 1].mid(0, 9).join(QLatin1Char(';')); };
        QCOMPARE(row(1), QStringLiteral("00001;command;StartSession;;;2;3;;"));
        QCOMPARE(row(2), QStringLiteral("00001;&;;;1;;;1;"));
        QCOMPARE(row(3), QStringLiteral("00001;%;;;1;;;;12.3"));
        QCOMPARE(row(4), QStringLiteral("00017;command;GoTo;X(1), Y(2);;5;7;;"));
        QCOMPARE(row(6), QStringLiteral("00017;!;;;4;;;;"));
        QCOMPARE(row(7), QStringLiteral("00017;%;;;4;;;;25.25"));
        QCOMPARE(row(8), QStringLiteral("E0001;event command;OnMoveReportE;Time(0.5), X();;9;10;;"));
        // The daemon's reports after its '%' are events, not stray replies.
        QCOMPARE(row(11), QStringLiteral("E0001;#;;;8;;;;"));
        QCOMPARE(row(12), QStringLiteral("E0000;E0000 event;;;;;;;"));
        QCOMPARE(rows[3][9], QStringLiteral("00017 GoTo(X(1), Y(2))"));
        QCOMPARE(rows[2][9], QStringLiteral("00001 % (12.3 ms)"));
        for (const QStringList &r : rows)
            QVERIFY2(r.value(10).isEmpty(), qPrintable(r.join(QLatin1Char(';'))));

        const QList<QStringList> error =
            fields(pcap,
                   {QStringLiteral("ippdme.error.severity"), QStringLiteral("ippdme.error.number"),
                    QStringLiteral("ippdme.error.method"), QStringLiteral("ippdme.error.text"),
                    QStringLiteral("ippdme.error.meaning")});
        QCOMPARE(error.value(5).mid(0, 4).join(QLatin1Char(';')),
                 QStringLiteral("2;1001;GoTo;Illegal touch"));
        QVERIFY2(error.value(5).value(4).startsWith(QLatin1String("Illegal touch (Cartesian CMM")),
                 qPrintable(error.value(5).value(4)));
    }

    // Lines split over segments (a CR LF too), several lines in a segment,
    // and an LF CR whose CR begins the next segment.
    void reassembly()
    {
        const QString pcap = capture({
            {true, 0, "00001 StartSe"},
            {true, 1, "ssion("},
            {true, 2, ")\r\n"},
            {false, 3, "00001 &\r\n00001 %\r"},
            {false, 4, "\n"},
            {true, 5, "00002 Home()\r\n"},
            {false, 6, "00002 &\r\n00002 %\r\n"},
            {true, 7, "00003 Get(X())\r\n"},
            {false, 8, "00003 &\r\n00003 # X(1)\r\n00003 %\r\n"},
            {true, 9, "00004 Home()\n"},
            {false, 10, "00004 &\r\n00004 %\r\n"},
            {true, 11, "\r00005 Home()\r\n"},
            {false, 12, "00005 &\r\n00005 %\r\n"},
        });
        QVERIFY(!pcap.isEmpty());
        const QList<QStringList> rows =
            fields(pcap,
                   {QStringLiteral("ippdme.tag"), QStringLiteral("ippdme.kind"),
                    QStringLiteral("ippdme.method"), QStringLiteral("_ws.expert.message")});
        QCOMPARE(rows.size(), 13);
        QCOMPARE(rows[0].mid(0, 2), QStringList({QString(), QString()}));
        QCOMPARE(rows[1].mid(0, 2), QStringList({QString(), QString()}));
        QCOMPARE(rows[2].mid(0, 3), QStringList({"00001", "command", "StartSession"}));
        QCOMPARE(rows[3].mid(0, 2), QStringList({"00001", "&"}));
        QCOMPARE(rows[4].mid(0, 2), QStringList({"00001", "%"}));
        QCOMPARE(rows[8].mid(0, 2), QStringList({"00003|00003|00003", "&|#|%"}));
        QCOMPARE(rows[9][3], QStringLiteral("R-CRLF: line ends in LF CR instead of CR LF"));
        QCOMPARE(rows[11].mid(0, 3), QStringList({"00005", "command", "Home"}));
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12})
            QVERIFY2(rows[i][3].isEmpty(), qPrintable(QString::number(i + 1) + rows[i][3]));
    }

    // Another port: a stream that begins with a tagged command is I++ DME, in
    // both directions; one that doesn't is left alone.
    void heuristicOverIpv6()
    {
        const QString pcap = capture(
            {
                {true, 0, "00001 StartSession()\r\n"},
                {false, 1, "00001 &\r\n"},
                {false, 2, "00001 %\r\n"},
                {true, 3, "00002 EndSession()\r\n"},
                {false, 4, "00002 &\r\n00002 %\r\n"},
            },
            4000, true);
        QVERIFY(!pcap.isEmpty());
        const QList<QStringList> rows =
            fields(pcap,
                   {QStringLiteral("ipv6.src"), QStringLiteral("ippdme.kind"),
                    QStringLiteral("ippdme.request_in"), QStringLiteral("_ws.expert.message")});
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows[0].mid(0, 2), QStringList({"2001:db8::1", "command"}));
        QCOMPARE(rows[2].mid(1, 3), QStringList({"%", "1", ""}));
        QCOMPARE(rows[4].mid(1, 3), QStringList({"&|%", "4|4", ""}));

        const QString other = capture({{true, 0, "hello 12345 (x)\r\n"}, {false, 1, "00001 &\r\n"}}, 4001);
        const QList<QStringList> none = fields(other, {QStringLiteral("ippdme.kind")});
        QCOMPARE(none.size(), 2);
        QCOMPARE(none[0][0] + none[1][0], QString());
    }

    // Each rule broken, one line a segment: the dissector's findings are the
    // checker's, line for line, on the rules both see; a second pass over the
    // capture adds none and loses none.
    void agreesWithTheChecker_data()
    {
        QTest::addColumn<QVector<Segment>>("segments");
        QTest::newRow("order") << OneLineEach({
            {true, "00001 StartSession()\r\n"},
            {false, "00001 &\r\n"},
            {false, "00001 %\r\n"},
            {true, "00002 GoTo(X(1))\r\n"},
            {false, "00002 %\r\n"},
            {false, "00002 &\r\n"},
            {true, "00003 Get(X())\r\n"},
            {false, "00003 &\r\n"},
            {false, "00003 &\r\n"},
            {false, "00003 # X(1)\r\n"},
            {false, "00003 %\r\n"},
            {false, "00009 %\r\n"},
            {false, "E0000 %\r\n"},
            {false, "E0000 &\r\n"},
            {false, "E0000 ! Error(3, 0500, GoTo, \"Emergency stop\")\r\n"},
        });
        QTest::newRow("tags and pacing") << OneLineEach({
            {true, "0001 Home()\r\n"},
            {false, "E0000 ! Error(2, 0001, , \"Illegal tag\")\r\n"},
            {true, "00004 GoTo(X(1))\r\n"},
            {true, "00004 GoTo(X(2))\r\n"},
            {false, "00004 &\r\n"},
            {false, "00004 %\r\n"},
            {true, "00005 Home()\r\n"},
            {true, "00006 Home()\r\n"},
            {false, "00005 &\r\n"},
            {false, "00005 %\r\n"},
            {false, "00006 &\r\n"},
            {false, "00006 %\r\n"},
            {true, "E0000 GetErrStatusE()\r\n"},
            {true, "00007 Home()\r\n"},
            {false, "00007 &\r\n"},
            {false, "00007 %\r\n"},
            {false, "0000X &\r\n"},
            {false, "00007X&\r\n"},
        });
        QTest::newRow("reply and error format") << OneLineEach({
            {true, "00001 Home()\r\n"},
            {false, "00001 & extra\r\n"},
            {false, "00001 ?\r\n"},
            {false, "00001 !\r\n"},
            {false, "00001 ! Error(7, 12, Home, \"x\")\r\n"},
            {false, "00001 ! Oops\r\n"},
            {false, "00001 %\r\n"},
            {true, "00002 Home()\r\n"},
            {false, "00002 &\r\n"},
            {false, "00002 ! Error(1, 0504, Home, \"Argument out of range\")\r\n"},
            {false, "00002 %\r\n"},
            {false, "00002 ! Error(3, 0502, Home, \"Incorrect arguments\")\r\n"},
        });
        QTest::newRow("bytes and line ends") << OneLineEach({
            {true, "00001 Home()\n"},
            {false, "00001 &\n\r"},
            {false, "00001 %\r\n"},
            {true, "00002 Home(\x07)\r\n"},
            {false, "00002 &\r\n"},
            {false, "00002 % \xe9\r\n"},
            {true, "00003 Ho\rme()\r\n"},
            {false, "00003 &\r\n"},
            {false, "00003 %\r\n"},
        });
        QTest::newRow("grave error aborts the pending") << OneLineEach({
            {true, "00001 GoTo(X(1))\r\n"},
            {false, "00001 &\r\n"},
            {true, "00002 GoTo(X(2))\r\n"},
            {false, "00002 &\r\n"},
            {false, "00001 ! Error(3, 1008, GoTo, \"Target position out of machine volume\")\r\n"},
            {false, "00002 %\r\n"},
            {false, "00001 %\r\n"},
            {true, "E0002 AbortE()\r\n"},
            {true, "00003 Home()\r\n"},
            {false, "E0002 &\r\n"},
            {false, "00003 &\r\n"},
            {false, "E0002 %\r\n"},
            {false, "00003 %\r\n"},
        });
        for (quint32 seed : {1, 2, 3})
            QTest::addRow("generated %u", seed) << Generated(seed);
    }

    void agreesWithTheChecker()
    {
        QFETCH(QVector<Segment>, segments);
        const CheckRun run = CheckText(Transcript(segments));
        QStringList expected;
        for (const check::Finding &f : run.findings) {
            const QString id = QLatin1String(check::RuleId(f.rule));
            // Transactions left open at the end: no single pass knows where that is.
            const bool atTheEnd = f.rule == check::Rule::Order && f.severity == check::Severity::Warning;
            if (DissectorRules.contains(id) && !atTheEnd)
                expected << QStringLiteral("%1:%2").arg(f.line).arg(id);
        }
        expected.sort();
        QVERIFY2(!expected.isEmpty(), "the case breaks none of the rules");
        const QString pcap = capture(segments);
        QVERIFY(!pcap.isEmpty());
        const QStringList found = dissectorRules(pcap);
        QCOMPARE(found, expected);
        QCOMPARE(dissectorRules(pcap, false), expected);
        seen.unite(QSet<QString>(expected.begin(), expected.end()));
    }

    // The cases above broke every rule the dissector reports.
    void everyRuleBroken()
    {
        QSet<QString> rules;
        for (const QString &s : std::as_const(seen))
            rules << s.section(QLatin1Char(':'), 1);
        for (const QString &id : DissectorRules)
            QVERIFY2(rules.contains(id), qPrintable(id));
    }

private:
    QSet<QString> seen;
};

QTEST_GUILESS_MAIN(TestDissector)
#include "tst_dissector.moc"
