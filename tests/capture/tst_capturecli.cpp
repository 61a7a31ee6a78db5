// torvane-check on captures: a real one recorded on the loopback interface
// against the tap's log of the same session, and made-up ones.

#include "capturefixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace capfix;

namespace {
const QString Data = QStringLiteral(CAPTURE_DATA);

struct Run {
    int code = -1;
    QByteArray out, err;
};

Run Check(const QStringList &args)
{
    QProcess p;
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

QJsonArray Records(const QStringList &args)
{
    const Run r = Check(QStringList{"--json"} + args);
    return QJsonDocument::fromJson(r.out).object().value("files").toArray();
}

// A finding as both sources name it: rule, severity, party and sentence
// (whose "line N" or "frame N" is left out).
QStringList Findings(const QJsonObject &record)
{
    QStringList out;
    for (const QJsonValue &v : record.value("findings").toArray()) {
        const QJsonObject f = v.toObject();
        QString text = f.value("text").toString();
        text.replace(QRegularExpression(QStringLiteral("\\b(line|frame) \\d+")), QStringLiteral("#"));
        out << f.value("rule").toString() + ' ' + f.value("severity").toString() + ' '
                + f.value("party").toString() + ' ' + text;
    }
    return out;
}
} // namespace

class TestCaptureCli : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const char *name) { return dir.filePath(QString::fromLatin1(name)); }

private Q_SLOTS:
    // The tap's leg to the server, as tcpdump saw it, gives what the tap's
    // own log gives: the same findings and the same timing table, to the
    // log's millisecond stamps.
    void realCaptureMatchesTheTapLog()
    {
        const QJsonArray log = Records({Data + "/loopback-tap.log"});
        const QJsonArray cap = Records({Data + "/loopback.pcap"});
        QCOMPARE(log.size(), 1);
        QCOMPARE(cap.size(), 2); // the client's leg to the tap, the tap's to the server
        QJsonObject leg;
        for (const QJsonValue &v : cap)
            if (v.toObject().value("server").toString().endsWith(":1294"))
                leg = v.toObject();
        QVERIFY(!leg.isEmpty());
        const QJsonObject logged = log[0].toObject();
        QVERIFY(!Findings(logged).isEmpty());
        QCOMPARE(Findings(leg), Findings(logged));
        QCOMPARE(leg.value("traffic"), logged.value("traffic"));

        const QJsonArray lm = logged.value("methods").toArray(), cm = leg.value("methods").toArray();
        QCOMPARE(cm.size(), lm.size());
        for (int i = 0; i < lm.size(); ++i) {
            const QJsonObject l = lm[i].toObject(), c = cm[i].toObject();
            QCOMPARE(c.value("method"), l.value("method"));
            QCOMPARE(c.value("count"), l.value("count"));
            QCOMPARE(c.value("errors"), l.value("errors"));
            for (const char *phase : {"to_ack", "to_done"})
                for (const char *q : {"median_us", "p95_us", "max_us"}) {
                    const double a = l.value(phase).toObject().value(q).toDouble();
                    const double b = c.value(phase).toObject().value(q).toDouble();
                    QVERIFY2(qAbs(a - b) <= 2000, qPrintable(l.value("method").toString() + ' ' + phase));
                }
        }
        // Text: the frame names the finding.
        const Run text =
            Check({"--session", QString::number(leg.value("session").toInt()), Data + "/loopback.pcap"});
        QCOMPARE(text.code, 0);
        QVERIFY(text.out.contains("loopback.pcap:frame "));
        QVERIFY(text.out.contains("server 127.0.0.1:1294"));
        QVERIFY(!text.out.contains("server 127.0.0.1:11294"));
    }

    void madeUpCaptures()
    {
        // Session 1 breaks the order and loses bytes; session 2, on another
        // port, is clean.
        Conversation a(V4(1, 40000), V4(2, 1294));
        a.handshake();
        a.send(0, "00001 StartSession()\r\n");
        a.send(1, "00001 &\r\n00001 %\r\n");
        a.send(1, "00001 # X(1)\r\n"); // frame 6
        a.send(0, "00002 Ho");
        a.skip(0, 5);
        a.send(0, "\r\n00003 Home()\r\n");
        a.send(1, "00003 &\r\n00003 %\r\n");
        Conversation b(V6(3, 40001), V6(4, 4711));
        b.timeUs += 500;
        b.handshake();
        b.send(0, "00001 StartSession()\r\n");
        b.send(1, "00001 &\r\n00001 %\r\n");
        b.send(1, "00001 # X(1)\r\n"); // after its '%'
        // Session 1 still runs: session 2's findings wait for their record.
        QList<Packet> all = a.packets + b.packets;
        std::stable_sort(all.begin(), all.end(),
                         [](const Packet &x, const Packet &y) { return x.timeUs < y.timeUs; });
        const QString path = file("two.pcapng");
        QVERIFY(WritePcapng(path, DLT_EN10MB, all));

        Run r = Check({path});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains(path.toLocal8Bit()
                                + ":frame 11: error: R-ORDER: 00001: '#' line after the "
                                  "transaction completed (frame 9)"),
                 r.out.constData());
        QVERIFY(r.out.contains(": warning: R-CAPTURE-GAP: 5 bytes from the client missing"));
        QVERIFY(r.out.contains("session 1: client 192.0.2.1:40000, server 192.0.2.2:1294, from "
                               "2023-11-14 22:13:20.000000 UTC (frame 1)"));
        QVERIFY(r.out.contains("session 2: client [2001:db8::3]:40001, server [2001:db8::4]:4711"));
        QVERIFY(r.out.contains(": error: R-ORDER: [session 2] 00001: '#' line after"));
        QCOMPARE(Check({"--session", "2", path}).code, 1);
        QVERIFY(Check({"--session", "3", path}).out.contains("no session 3"));

        const QJsonArray records = Records({path});
        QCOMPARE(records.size(), 2);
        const QJsonObject first = records[0].toObject().value("findings").toArray()[0].toObject();
        QCOMPARE(first.value("frame").toInt(), 11);
        QCOMPARE(first.value("related").toInt(), 9);
        QCOMPARE(records[1].toObject().value("session").toInt(), 2);
        QCOMPARE(Findings(records[1].toObject()).size(), 1);

        // The rule is explained like the others.
        QVERIFY(Check({"--explain", "R-CAPTURE-GAP"}).out.contains("What to change"));
    }

    void filesThatAreNoUsableCaptures()
    {
        // Traffic of another protocol only.
        Conversation h(V4(5, 40012), V4(6, 80));
        h.handshake();
        h.send(0, "GET / HTTP/1.1\r\n\r\n");
        const QString http = file("http.pcap");
        QVERIFY(WritePcap(http, DLT_EN10MB, h.packets));
        Run r = Check({http});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains("no I++ DME traffic found"));

        // Another protocol's server on the I++ DME port: findings, no more.
        Conversation ssh(V4(5, 40013), V4(6, 1294));
        ssh.handshake();
        ssh.send(1, "SSH-2.0-OpenSSH_9.2\r\n");
        ssh.send(0, "00001 StartSession()\r\n");
        ssh.send(1, QByteArray(3000, '\x7f') + "\n" + QByteArray(60000, 'z'));
        const QString other = file("ssh.pcap");
        QVERIFY(WritePcap(other, DLT_EN10MB, ssh.packets));
        r = Check({other});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.contains(":frame 4: error: R-TAG-FORMAT: \"SSH-2.0-\" is not a tag"));
        QVERIFY(r.out.contains(":frame 6: warning: R-ORDER: 1 transaction without '%'"));

        // A capture's magic and nothing that follows it.
        const QString junk = file("junk.pcap");
        QFile j(junk);
        QVERIFY(j.open(QIODevice::WriteOnly));
        j.write(QByteArray("\xd4\xc3\xb2\xa1", 4) + QByteArray(7, '\x01'));
        j.close();
        r = Check({junk});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("not a readable capture"), r.err.constData());

        // Cut mid-packet: read to the cut, and said.
        Conversation c(V4(1, 40020), V4(2, 1294));
        c.handshake();
        c.send(0, "00001 StartSession()\r\n");
        c.send(1, "00001 &\r\n");
        c.send(1, "00001 &\r\n");
        c.send(1, "00001 %\r\n");
        const QString cut = file("cut.pcap");
        QVERIFY(WritePcap(cut, DLT_EN10MB, c.packets));
        QFile f(cut);
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.resize(f.size() - 4);
        f.close();
        r = Check({cut});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("truncated: the capture ends inside a packet"));
        QVERIFY(r.out.contains("R-ORDER"));
        QCOMPARE(Check({"--port", "0", cut}).code, 2);
    }
};

QTEST_GUILESS_MAIN(TestCaptureCli)
#include "tst_capturecli.moc"
