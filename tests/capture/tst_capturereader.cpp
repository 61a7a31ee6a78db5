// The capture reader on made-up captures: link layers, TCP put back
// together, conversations found, and input it must survive.

#include "capture/capturereader.h"
#include "capture/reassembler.h"
#include "capturefixture.h"

#include <QTemporaryDir>
#include <QTest>

using namespace capfix;
using capture::EventKind;
using capture::Side;

namespace {

struct Seen {
    struct L {
        int session;
        Side side;
        QByteArray text;
        check::LineEnd end;
        qint64 frame, timeUs;
    };
    QList<L> lines;
    QList<capture::Event> events;
    QList<capture::Session> sessions;
    capture::ReadResult result;

    QByteArrayList texts(int session = 0) const
    {
        QByteArrayList out;
        for (const L &l : lines)
            if (session == 0 || l.session == session)
                out << (l.side == Side::Client ? "C " : "S ") + l.text;
        return out;
    }
    QList<qint64> eventBytes(EventKind kind) const
    {
        QList<qint64> out;
        for (const capture::Event &e : events)
            if (e.kind == kind)
                out << e.bytes;
        return out;
    }
};

Seen Read(const QString &path, capture::ReaderOptions options = {})
{
    Seen seen;
    capture::CaptureReader reader(options);
    reader.setLineHandler([&](const capture::Line &l) {
        seen.lines.append({l.session, l.side, l.bytes.toByteArray(), l.end, l.frame, l.timeUs});
    });
    reader.setEventHandler([&](const capture::Event &e) {
        seen.events.append(e);
        if (e.kind == EventKind::SessionStart)
            seen.sessions.append(*e.session);
    });
    seen.result = reader.read(path);
    return seen;
}

// A short exchange, every line in a segment of its own.
void Exchange(Conversation &c, const QByteArray &tag = "00001")
{
    c.send(0, tag + " StartSession()\r\n");
    c.send(1, tag + " &\r\n");
    c.send(1, tag + " %\r\n");
}

const QByteArrayList ExchangeTexts{"C 00001 StartSession()", "S 00001 &", "S 00001 %"};

} // namespace

class TestCaptureReader : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const char *name) { return dir.filePath(QString::fromLatin1(name)); }

private Q_SLOTS:
    void linkLayersAndAddresses_data()
    {
        QTest::addColumn<int>("link");
        QTest::addColumn<bool>("v6");
        QTest::addColumn<int>("vlans");
        QTest::addColumn<bool>("pcapng");
        QTest::addColumn<bool>("nano");
        QTest::newRow("ethernet v4") << DLT_EN10MB << false << 0 << false << false;
        QTest::newRow("ethernet v6 pcapng") << DLT_EN10MB << true << 0 << true << false;
        QTest::newRow("802.1Q v4 ns") << DLT_EN10MB << false << 1 << false << true;
        QTest::newRow("QinQ v6") << DLT_EN10MB << true << 2 << false << false;
        QTest::newRow("sll v4") << DLT_LINUX_SLL << false << 0 << false << false;
        QTest::newRow("sll2 v6 pcapng") << DLT_LINUX_SLL2 << true << 0 << true << false;
        QTest::newRow("null v6") << DLT_NULL << true << 0 << false << false;
        QTest::newRow("raw v4") << DLT_RAW << false << 0 << false << true;
    }
    void linkLayersAndAddresses()
    {
        QFETCH(int, link);
        QFETCH(bool, v6);
        QFETCH(int, vlans);
        QFETCH(bool, pcapng);
        QFETCH(bool, nano);
        Conversation c(v6 ? V6(1, 40000) : V4(1, 40000), v6 ? V6(2, 1294) : V4(2, 1294), link);
        c.vlans = vlans;
        c.timeUs = 1700000000123456;
        c.handshake();
        Exchange(c);
        c.close();
        const QString path = file("link.cap");
        QVERIFY(pcapng ? WritePcapng(path, link, c.packets) : WritePcap(path, link, c.packets, nano));

        const Seen s = Read(path);
        QVERIFY2(s.result.opened, qPrintable(s.result.error));
        QCOMPARE(s.result.format, QByteArray(pcapng ? "pcapng" : "pcap"));
        QCOMPARE(s.texts(), ExchangeTexts);
        QCOMPARE(s.sessions.size(), 1);
        const capture::Session &session = s.sessions[0];
        QCOMPARE(session.client, QByteArray(v6 ? "[2001:db8::1]:40000" : "192.0.2.1:40000"));
        QCOMPARE(session.server, QByteArray(v6 ? "[2001:db8::2]:1294" : "192.0.2.2:1294"));
        QVERIFY(session.opened);
        QCOMPARE(session.startFrame, 1);
        QCOMPARE(session.startUs, 1700000000123456);
        // Each line carries the frame and time of the segment that ended it.
        QCOMPARE(s.lines[0].frame, 4);
        QCOMPARE(s.lines[2].frame, 6);
        QCOMPARE(s.lines[2].timeUs, 1700000000123456 + 5 * 1000);
        QCOMPARE(s.lines[0].end, check::LineEnd::CrLf);
        QCOMPARE(s.eventBytes(EventKind::SessionEnd).size(), 1);
    }

    // Retransmissions, overlaps, segments out of order and across the wrap
    // of the sequence numbers, lines split over segments, holes.
    void reassembly()
    {
        Conversation c(V4(1, 40001), V4(2, 1294), DLT_EN10MB, 0xfffffff0u);
        c.handshake();
        // A line in three pieces across the wrap of the client's numbers.
        c.send(0, "00001 Start");
        c.send(0, "Session(");
        c.send(0, ")\r\n");
        // The same bytes again: a plain retransmission.
        c.segmentAt(0, -11, "Session()\r\n");
        c.send(1, "00001 &\r\n00001 %\r\n");
        // Out of order: the second half first, then the first; and a copy of
        // the second half that differs (the first copy wins).
        c.segmentAt(0, 9, "Home()\r\n");
        c.segmentAt(0, 9, "Hxme()\r\n");
        c.send(0, "00002 Go ");
        c.skip(0, 8);
        c.send(1, "00002 &\r\n00002 %\r\n");
        // The capture misses the middle of a line; the server's '&' to it and
        // the next command still come through.
        c.send(0, "00003 GoTo(X(1), ");
        c.skip(0, 20);
        c.send(0, "Y(2))\r\n00004 Get(X())\r\n");
        c.send(1, "00004 &\r\n00004 # X(1)\r\n00004 %\r\n");
        c.close();
        const QString path = file("reassembly.pcap");
        QVERIFY(WritePcap(path, DLT_EN10MB, c.packets));

        const Seen s = Read(path);
        QCOMPARE(s.texts(),
                 (QByteArrayList{"C 00001 StartSession()", "S 00001 &", "S 00001 %", "C 00002 Go Home()",
                                 "S 00002 &", "S 00002 %", "C 00004 Get(X())", "S 00004 &", "S 00004 # X(1)",
                                 "S 00004 %"}));
        QCOMPARE(s.eventBytes(EventKind::Differs), QList<qint64>{1});
        QCOMPARE(s.eventBytes(EventKind::Gap), QList<qint64>{20});
        for (const capture::Event &e : s.events)
            if (e.kind == EventKind::Gap)
                QCOMPARE(e.side, Side::Client);
    }

    void lineEnds()
    {
        Conversation c(V4(1, 40002), V4(2, 1294));
        c.handshake();
        c.send(0, "00001 StartSession()\n");
        c.send(0, "\r00002 Home()\r\n00003 Home()\n00004 Home()\r\n00005 Home()");
        c.close();
        const QString path = file("ends.pcap");
        QVERIFY(WritePcap(path, DLT_EN10MB, c.packets));
        const Seen s = Read(path);
        QCOMPARE(s.lines.size(), 5);
        QCOMPARE(s.lines[0].end, check::LineEnd::LfCr);
        QCOMPARE(s.lines[1].end, check::LineEnd::CrLf);
        QCOMPARE(s.lines[2].end, check::LineEnd::Lf);
        QCOMPARE(s.lines[3].text, QByteArray("00004 Home()"));
        QCOMPARE(s.lines[4].end, check::LineEnd::Missing);
    }

    // By port, by content on another port, the side without a SYN, several
    // connections in one file, and the one picked out.
    void findingConversations()
    {
        QList<Packet> all;
        // 1: port 1294, begun before the capture, the first segment mid-line.
        Conversation a(V4(1, 40010), V4(2, 1294));
        a.send(0, "tSession()\r\n00001 StartSession()\r\n");
        a.send(1, "00001 &\r\n");
        // 2: another port, found by its client's first line.
        Conversation b(V4(3, 40011), V4(4, 4711));
        b.handshake();
        Exchange(b);
        // Not I++ DME: an HTTP request on another port.
        Conversation h(V4(5, 40012), V4(6, 80));
        h.handshake();
        h.send(0, "GET / HTTP/1.1\r\n\r\n");
        h.send(1, "HTTP/1.1 200 OK\r\n\r\n");
        // 3: no SYN, not the usual port: the side that sends tagged commands
        // is the client, whichever end speaks first in the file.
        Conversation d(V4(7, 4712), V4(8, 40013));
        d.send(1, "00001 StartSession()\r\n");
        d.send(0, "00001 &\r\n00001 %\r\n");
        for (Conversation *c : {&a, &b, &h, &d})
            for (int i = 0; i < c->packets.size(); ++i)
                all.append(c->packets[i]);
        a.send(1, "00001 %\r\n");
        all.append(a.packets.last());
        const QString path = file("several.pcapng");
        QVERIFY(WritePcapng(path, DLT_EN10MB, all));

        const Seen s = Read(path);
        QCOMPARE(s.sessions.size(), 3);
        QCOMPARE(s.texts(1), ExchangeTexts);
        QCOMPARE(s.texts(2), ExchangeTexts);
        QCOMPARE(s.texts(3), (QByteArrayList{"C 00001 StartSession()", "S 00001 &", "S 00001 %"}));
        QVERIFY(!s.sessions[0].opened);
        QVERIFY(s.sessions[0].byPort);
        QCOMPARE(s.sessions[1].server, QByteArray("192.0.2.4:4711"));
        QVERIFY(!s.sessions[1].byPort);
        QCOMPARE(s.sessions[2].client, QByteArray("192.0.2.8:40013"));

        capture::ReaderOptions only;
        only.onlySession = 2;
        const Seen two = Read(path, only);
        QCOMPARE(two.texts(), ExchangeTexts);
        QCOMPARE(two.lines.first().session, 2);

        // With other server ports given, 1294 is not one of them; the rest
        // are still found by what their clients say.
        capture::ReaderOptions ports;
        ports.ports = {4711};
        const Seen p = Read(path, ports);
        QCOMPARE(p.sessions.size(), 3);
        QVERIFY(!p.sessions[0].byPort);
        QVERIFY(p.sessions[1].byPort);
    }

    void badFiles()
    {
        // Not a capture at all.
        const QString text = file("text.txt");
        {
            QFile f(text);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("00001 StartSession()\r\n");
        }
        const Seen none = Read(text);
        QVERIFY(!none.result.opened);
        QVERIFY(!none.result.error.isEmpty());
        QVERIFY(!capture::LooksLikeCapture("00001 StartSession()"));

        // Cut inside the last packet: what came before is read, the cut said.
        Conversation c(V4(1, 40020), V4(2, 1294));
        c.handshake();
        Exchange(c);
        const QString whole = file("whole.pcap"), cut = file("cut.pcap");
        QVERIFY(WritePcap(whole, DLT_EN10MB, c.packets));
        QFile w(whole);
        QVERIFY(w.open(QIODevice::ReadOnly));
        const QByteArray bytes = w.readAll();
        QVERIFY(capture::LooksLikeCapture(bytes));
        QFile f(cut);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes.left(bytes.size() - 5));
        f.close();
        const Seen s = Read(cut);
        QVERIFY(s.result.opened);
        QVERIFY(s.result.truncated);
        QCOMPARE(s.texts(), ExchangeTexts.mid(0, 2));
    }

    // Floods and nonsense stay within the reader's bounds.
    void hostileTraffic()
    {
        capture::CaptureReader reader([] {
            capture::ReaderOptions o;
            o.maxConnections = 1000;
            return o;
        }());
        int lines = 0, gaps = 0;
        reader.setLineHandler([&](const capture::Line &) { ++lines; });
        reader.setEventHandler([&](const capture::Event &e) { gaps += e.kind == EventKind::Gap; });
        auto feed = [&](const QByteArray &ip) {
            const QByteArray f = Frame(DLT_RAW, ip);
            reader.frame(DLT_RAW, reinterpret_cast<const uchar *>(f.constData()), f.size(), 0);
        };
        // A SYN flood at the server port: no sessions, a bounded table.
        for (int i = 0; i < 20000; ++i)
            feed(IpTcp(V4(quint8(i), quint16(i)), V4(2, 1294), quint32(i), 0, Syn, {}));
        // A session whose client sends segments far ahead of its stream, and
        // a flood of one-byte segments all after a hole.
        const Host cl = V4(9, 40030), sv = V4(2, 1294);
        feed(IpTcp(cl, sv, 100, 0, Syn, {}));
        feed(IpTcp(cl, sv, 101, 0, Ack, "00001 StartSession()\r\n"));
        for (quint32 jump : {0x40000000u, 0x80000000u, 0xfffffff0u})
            feed(IpTcp(cl, sv, 123 + jump, 0, Ack, "junk\r\n"));
        for (quint32 i = 0; i < 100000; ++i)
            feed(IpTcp(cl, sv, 200 + i, 0, Ack, QByteArray(1, char('a' + i % 26))));
        feed(IpTcp(sv, cl, 0, 123, Ack | Rst, {}));
        reader.finish();
        QCOMPARE(reader.progress().sessions, 1); // the flood's SYNs carried nothing
        QVERIFY(lines >= 1);
        QVERIFY(gaps >= 1);

        // The reassembler alone: held bytes stay under their bound.
        struct Sink : capture::StreamSink {
            qint64 bytes = 0, gaps = 0;
            void data(const char *, qsizetype n, qint64, qint64) override { bytes += n; }
            void gap(qint64 n, qint64, qint64) override { gaps += n; }
            void differs(qint64, qint64, qint64) override { }
        } sink;
        capture::Reassembler r(sink);
        r.start(0);
        const QByteArray chunk(1000, 'x');
        for (quint32 i = 1000; i < 2000000; i += 1000) {
            r.segment(i, chunk.constData(), chunk.size(), 0, 0);
            QVERIFY(r.heldBytes() <= capture::Reassembler::MaxHeldBytes);
        }
        r.finish(0, 0);
        QCOMPARE(sink.gaps, 1000);
        QCOMPARE(sink.bytes + sink.gaps, 2000000);
    }
};

QTEST_GUILESS_MAIN(TestCaptureReader)
#include "tst_capturereader.moc"
