// The two connection objects on their own, without a window: the server
// link and the relay session paired as a relay, each side's lines handed on
// to the other. Bursts, backpressure, the half-closed client, the line limit,
// the quick look and the connect attempt.

#include "link/serverlink.h"
#include "platform/platform.h"
#include "platform/testsupport.h"
#include "relay/relaysession.h"
#include "support/flood.h"
#include "support/helpers.h" // its templates only: no window here
#include "support/lockstep.h"
#include "support/testserver.h"

#include <QAbstractEventDispatcher>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

using EndReason = LineConnection::EndReason;

namespace {

// A relay with no window: each side's lines go to the other as they come.
struct Relay {
    ServerLink link;
    RelaySession session;
    std::unique_ptr<QuickLook> quick;
    QList<QByteArray> toServer, toClient; // the lines each side handed on
    QList<int> clientBursts, serverBursts; // lines per burst
    QList<EndReason> clientEnds, serverEnds;
    int arrivals = 0, departures = 0;
    int failures = 0;
    QStringList statuses;
    // Lines handed on while the event loop was about to sleep: by the quick look.
    bool looking = false;
    int quickLines = 0;

    explicit Relay(bool quickLook = true)
    {
        LineConnection::Pair(&link, &session);
        if (quickLook)
            lookQuickly();
        session.setLineHandler([this](const QByteArray &line) {
            toServer << line;
            ++clientBursts.last();
            quickLines += looking ? 1 : 0;
            if (link.isOpen())
                link.writeLine(line);
        });
        link.setLineHandler([this](const QByteArray &line) {
            toClient << line;
            ++serverBursts.last();
            quickLines += looking ? 1 : 0;
            session.writeLine(line);
        });
        session.setBurstHandlers([this] { clientBursts << 0; }, [] {});
        link.setBurstHandlers([this] { serverBursts << 0; }, [] {});
        session.setEndHandler([this](EndReason r) { clientEnds << r; });
        link.setEndHandler([this](EndReason r) { serverEnds << r; });
        session.setSessionHandlers([this](QTcpSocket *) { ++arrivals; }, [this] { ++departures; });
        link.setStatusHandler([this](const QString &text) { statuses << text; });
        link.setConnectHandlers([] {}, [this] { ++failures; });
        session.listen(QHostAddress::LocalHost, 0);
    }

    void lookQuickly()
    {
        quick = std::make_unique<QuickLook>(&link, &session,
                                            [this] { return session.client() && !session.leaving(); });
        link.setQuickLook(quick.get());
        session.setQuickLook(quick.get());
    }

    bool connectServer(quint16 port)
    {
        const int failed = failures;
        link.connectTo(QStringLiteral("127.0.0.1"), port);
        return QTest::qWaitFor([&] { return link.isOpen() || failures > failed; }) && link.isOpen();
    }
    bool attach(TestRelayClient &client)
    {
        return client.connectTo(session.serverPort()) && QTest::qWaitFor([this] { return session.client(); });
    }
};

int largest(const QList<int> &bursts)
{
    return bursts.isEmpty() ? 0 : *std::max_element(bursts.begin(), bursts.end());
}

// Reads `fd` until its end: what came, and how it ended (0 for a FIN).
bool readToEnd(qintptr fd, QByteArray &got, qint64 &end)
{
    return QTest::qWaitFor(
        [&] {
            if (!platform::test::WaitReadable(fd, 0))
                return false;
            char buf[4096];
            end = platform::test::Receive(fd, buf, sizeof buf);
            if (end > 0)
                got.append(buf, int(end));
            return end <= 0;
        },
        5000);
}

} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Lines are handed on in arrival order, whole, however the bytes come:
    // a line in pieces, several in one read, empty lines, LF with or without
    // CR. A burst handles at most its bound of lines.
    void burstsHandLinesOnInOrder_data()
    {
        QTest::addColumn<bool>("serverLeg");
        QTest::newRow("server link") << true;
        QTest::newRow("relay client") << false;
    }
    void burstsHandLinesOnInOrder()
    {
        QFETCH(bool, serverLeg);
        Relay r;
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        TestRelayClient client;
        QVERIFY(r.attach(client));
        LineConnection &reader = serverLeg ? static_cast<LineConnection &>(r.link) : r.session;
        QList<QByteArray> &handed = serverLeg ? r.toClient : r.toServer;
        QList<int> &bursts = serverLeg ? r.serverBursts : r.clientBursts;
        const auto send = [&](const QByteArray &bytes) {
            serverLeg ? server.sendRaw(bytes) : client.sendRaw(bytes);
        };

        QSignalSpy firstPiece(reader.socket(), &QIODevice::readyRead);
        send("00100 &");
        QVERIFY(firstPiece.wait());
        send("\r\n00100 # X(1)\r\n\r\n\n00100 %\n");
        QTRY_COMPARE(handed, (QList<QByteArray>{"00100 &", "00100 # X(1)", "", "", "00100 %"}));

        // Short lines, many to one read of the socket.
        handed.clear();
        bursts.clear();
        const int count = 20 * reader.burstLines();
        QList<QByteArray> lines;
        QByteArray bytes;
        for (int i = 0; i < count; ++i) {
            lines << QByteArray::number(i);
            bytes += lines.last() + "\r\n";
        }
        send(bytes);
        QTRY_COMPARE_WITH_TIMEOUT(handed.size(), count, 20000);
        QCOMPARE(handed, lines);
        QCOMPARE(largest(bursts), reader.burstLines());
        // And on to the other side, in order.
        if (serverLeg) {
            QVERIFY(client.waitForLines(5 + count));
            QCOMPARE(client.received.mid(5), lines);
        } else {
            QVERIFY(server.waitForLines(5 + count)); // the empty lines were handed on too
            QCOMPARE(server.received.mid(5), lines);
        }
    }

    // A peer that doesn't read holds back the side that feeds it, with what
    // waits for it near the bound; the other direction goes on meanwhile,
    // and once it reads it gets every byte, in order.
    void backpressure_data()
    {
        QTest::addColumn<bool>("toClient");
        QTest::newRow("server floods a client that stops reading") << true;
        QTest::newRow("client floods a server that stops reading") << false;
    }
    void backpressure()
    {
        QFETCH(bool, toClient);
        constexpr int Count = 400000; // 40 MB
        Relay r;
        TestServer server; // reads everything
        QTcpServer silentServer; // reads nothing for now
        QVERIFY(silentServer.listen(QHostAddress::LocalHost, 0));
        QVERIFY(r.connectServer(toClient ? server.port() : silentServer.serverPort()));
        QTcpSocket *stalled = nullptr; // the peer that stops reading
        QTcpSocket silentClient;
        TestRelayClient client;
        if (toClient) {
            QVERIFY(server.waitForClient());
            silentClient.setReadBufferSize(4096);
            silentClient.connectToHost(QHostAddress::LocalHost, r.session.serverPort());
            QVERIFY(silentClient.waitForConnected(5000));
            QTRY_VERIFY(r.session.client());
            stalled = &silentClient;
        } else {
            QTRY_VERIFY(silentServer.hasPendingConnections());
            stalled = silentServer.nextPendingConnection();
            stalled->setReadBufferSize(4096);
            QVERIFY(r.attach(client));
        }
        LineConnection &feeder = toClient ? static_cast<LineConnection &>(r.link) : r.session;
        LineConnection &fed = toClient ? static_cast<LineConnection &>(r.session) : r.link;

        const QByteArray bytes = flood(toClient ? "#" : "GoTo", Count);
        toClient ? server.sendRaw(bytes) : client.sendRaw(bytes);
        QTRY_VERIFY_WITH_TIMEOUT(feeder.readingHeld(), 30000);
        QVERIFY(fed.queued() <= BackpressureSlack);

        // The other direction is not held.
        if (toClient) {
            r.link.writeLine("60000 GetProp(Tool.Name())");
            QVERIFY(server.waitForLines(1));
            QCOMPARE(server.received.last(), QByteArray("60000 GetProp(Tool.Name())"));
        } else {
            stalled->write("E0000 # KeyPress(\"F1\")\r\n");
            QVERIFY(client.waitForLines(1));
            QCOMPARE(client.received.last(), QByteArray("E0000 # KeyPress(\"F1\")"));
        }
        QVERIFY(fed.queued() <= BackpressureSlack);
        QList<QByteArray> &handed = toClient ? r.toClient : r.toServer;
        QVERIFY(handed.size() < Count);

        QByteArray got;
        QVERIFY(readEverything(*stalled, bytes.size(), got));
        QVERIFY(got == bytes);
        QTRY_COMPARE(handed.size(), Count);
        QVERIFY(!feeder.readingHeld());
        QVERIFY(r.clientEnds.isEmpty() && r.serverEnds.isEmpty());
    }

    // A client that sends its commands and then ends its input (as
    // `printf ... | nc` does) still reads every reply, then the end of the
    // stream, a FIN; the session ends once its commands are complete. Its
    // last line counts even without a line end.
    void halfClosedClientGetsItsReplies()
    {
        Relay r;
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        const qintptr fd = platform::test::ConnectLoopback(r.session.serverPort());
        QVERIFY(fd >= 0);
        QTRY_COMPARE(r.arrivals, 1);
        QVERIFY(platform::test::SendAll(fd, "00001 Home()\r\n00002 GetProp(Tool.Name())\r\n00003 Home()"));
        platform::ShutdownWrite(fd);
        QVERIFY(server.waitForLines(3));
        QCOMPARE(server.received.last(), QByteArray("00003 Home()"));
        QTRY_VERIFY(r.session.finishing());
        QCOMPARE(r.clientEnds, QList<EndReason>{EndReason::Closed});
        QCOMPARE(r.session.openCommands(), 3);
        QVERIFY(r.session.clientConnected());

        QByteArray replies;
        for (const char *tag : {"00002", "00001"})
            replies += QByteArray(tag) + " &\r\n" + tag + " %\r\n";
        replies += "E0000 # KeyPress(\"F1\")\r\n00003 &\r\n";
        server.sendRaw(replies);
        QTRY_COMPARE(r.toClient.size(), 6);
        QCOMPARE(r.departures, 0); // 00003 is still open
        server.sendLine("00003 %");
        replies += "00003 %\r\n";
        QByteArray got;
        qint64 end = -1;
        QVERIFY(readToEnd(fd, got, end));
        QCOMPARE(got, replies);
        QCOMPARE(end, qint64(0)); // a FIN, not a reset
        platform::CloseSocket(fd);
        QTRY_COMPARE(r.departures, 1);
        QVERIFY(r.link.isOpen());

        // The next client is taken on as usual.
        TestRelayClient next;
        QVERIFY(r.attach(next));
        QCOMPARE(r.arrivals, 2);
    }

    // With nothing owed, or nowhere for replies to come from, the session
    // ends as soon as the client ends its input.
    void halfClosedClientWithNothingToWaitFor_data()
    {
        QTest::addColumn<bool>("linkUp");
        QTest::newRow("only a blank line") << true;
        QTest::newRow("no server link") << false;
    }
    void halfClosedClientWithNothingToWaitFor()
    {
        QFETCH(bool, linkUp);
        Relay r;
        r.session.replyWaitMs = 60000; // far beyond the wait below
        TestServer server;
        if (linkUp)
            QVERIFY(r.connectServer(server.port()));
        TestRelayClient client;
        QVERIFY(r.attach(client));
        client.sendLine(linkUp ? "" : "00001 Home()");
        client.socket.flush();
        platform::ShutdownWrite(client.socket.socketDescriptor());
        QTRY_COMPARE(r.departures, 1);
        QVERIFY(!r.session.finishing());
        QVERIFY(client.waitForClose());
        QCOMPARE(r.toServer.size(), 1);
        QCOMPARE(r.link.isOpen(), linkUp);
    }

    // A command that never completes holds the session for a bounded time;
    // every line the client sent before its end is handed on first, in order.
    void halfClosedClientLeavesAfterTheBound()
    {
        constexpr int Count = 20000;
        Relay r;
        r.session.replyWaitMs = 200;
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        TestRelayClient client;
        QVERIFY(r.attach(client));
        QList<QByteArray> lines;
        QByteArray bytes;
        for (int i = 0; i < Count; ++i) {
            lines << QByteArray::number(i).rightJustified(5, '0') + " Burst()";
            bytes += lines.last() + "\r\n";
        }
        client.sendRaw(bytes);
        QTRY_COMPARE(client.socket.bytesToWrite(), qint64(0)); // all of it, before the end
        platform::ShutdownWrite(client.socket.socketDescriptor());
        QVERIFY(server.waitForLines(Count, 10000 * SlowFactor));
        QCOMPARE(server.received, lines);
        QTRY_VERIFY(r.session.finishing());
        server.sendLine("00001 &");
        QVERIFY(client.waitForLines(1));
        QTRY_COMPARE(r.departures, 1);
        QVERIFY(client.waitForClose());
        QCOMPARE(client.received, QList<QByteArray>{"00001 &"});
        QVERIFY(!r.session.finishing());
        QVERIFY(r.link.isOpen());
    }

    // A server that ends what it sends, with its last line cut off by the
    // close: every line before the end is handed on, then the link ends.
    void serverEndHandsOnEveryLine()
    {
        Relay r;
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        TestRelayClient client;
        QVERIFY(r.attach(client));
        server.sendRaw("00001 &\r\n00001 # X(1)\r\nE0000 # KeyPress(\"F2\")\r");
        server.shutdownOutput();
        QTRY_COMPARE(r.serverEnds, QList<EndReason>{EndReason::Closed});
        QVERIFY(!r.link.isOpen());
        QCOMPARE(r.toClient, (QList<QByteArray>{"00001 &", "00001 # X(1)", "E0000 # KeyPress(\"F2\")"}));
        QVERIFY(client.waitForLines(3));
        QTRY_VERIFY(!server.hasClient());
    }

    // The link let go sends what was written and closes with a FIN, not a
    // reset: the server reads every byte, then the end of the stream. That
    // holds too when the server's last lines were still unread.
    void disconnectClosesCleanly_data()
    {
        QTest::addColumn<bool>("unreadLines");
        QTest::newRow("all read") << false;
        QTest::newRow("lines unread") << true;
    }
    void disconnectClosesCleanly()
    {
        QFETCH(bool, unreadLines);
        quint16 port = 0;
        const qintptr listener = platform::test::ListenLoopback(&port);
        QVERIFY(listener >= 0);
        Relay r;
        QVERIFY(r.connectServer(port));
        const qintptr peer = platform::test::Accept(listener);
        QVERIFY(peer >= 0);
        r.link.writeLine("00001 GetProp(Tool.Name())");
        // On loopback the lines are in the link's receive queue once sent.
        if (unreadLines)
            QVERIFY(platform::test::SendAll(peer, QByteArray("00001 # X(1)\r\n").repeated(2000)));
        r.link.disconnectFromServer();
        QVERIFY(!r.link.isOpen());
        QByteArray got;
        qint64 end = -1;
        QVERIFY(readToEnd(peer, got, end));
        QCOMPARE(got, QByteArray("00001 GetProp(Tool.Name())\r\n"));
        QCOMPARE(end, qint64(0));
        QVERIFY(r.serverEnds.isEmpty()); // let go, not ended by the server
        platform::CloseSocket(peer);
        platform::CloseSocket(listener);
    }

    // A line of MaxLineLength characters before the LF, the CR not counted,
    // passes; one more ends the input, as does a stream without a line end.
    // What came before is handed on, nothing after.
    void lineLimit_data()
    {
        QTest::addColumn<bool>("serverLeg");
        QTest::addColumn<bool>("endless");
        QTest::newRow("server, one character more") << true << false;
        QTest::newRow("server, no line end") << true << true;
        QTest::newRow("client, one character more") << false << false;
        QTest::newRow("client, no line end") << false << true;
    }
    void lineLimit()
    {
        QFETCH(bool, serverLeg);
        QFETCH(bool, endless);
        Relay r;
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        TestRelayClient client;
        QVERIFY(r.attach(client));
        QList<QByteArray> &handed = serverLeg ? r.toClient : r.toServer;
        const auto send = [&](const QByteArray &bytes) {
            serverLeg ? server.sendRaw(bytes) : client.sendRaw(bytes);
        };

        const QByteArray longest = "00001 " + QByteArray(MaxLineLength - 6, 'A');
        send(longest + "\r\n");
        send(longest + "\n");
        send(longest + "\r");
        QTRY_COMPARE(handed.size(), 2);
        send("\n");
        QTRY_COMPARE(handed, (QList<QByteArray>{longest, longest, longest}));

        if (endless)
            send(QByteArray(1 << 20, 'C'));
        else
            send("00002 Home()\r\n" + QByteArray(MaxLineLength + 1, 'B') + "\n00003 Home()\r\n");
        QTRY_COMPARE(serverLeg ? r.serverEnds : r.clientEnds, QList<EndReason>{EndReason::LineTooLong});
        if (serverLeg) {
            QVERIFY(!r.link.isOpen());
            QTRY_VERIFY(!server.hasClient());
            QVERIFY(client.waitForLines(endless ? 3 : 4));
        } else {
            QTRY_COMPARE(r.departures, 1);
            QVERIFY(client.waitForClose());
            QVERIFY(server.waitForLines(endless ? 3 : 4));
            QVERIFY(noLineWithin(server));
            QVERIFY(r.link.isOpen());
        }
        QCOMPARE(handed.size(), endless ? 3 : 4);
        QCOMPARE(handed.last(), endless ? longest : QByteArray("00002 Home()"));
    }

    // Lock-step peers that answer at once: right after a burst the quick
    // look takes their next bytes while the loop would otherwise sleep.
    // Lines cut in two, and lines that come while a burst is being handled,
    // still make one stream, in order.
    void quickLookKeepsTheOrder()
    {
        constexpr int Rounds = 2000;
        Relay r(false);
        QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance();
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, &r.link, [&r] { r.looking = true; });
        r.lookQuickly();
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, &r.link, [&r] { r.looking = false; });
        lockstep::ThreadServer server;
        QVERIFY(r.connectServer(server.port));

        QByteArray commands, replies;
        QList<QByteArray> commandLines, replyLines;
        for (int round = 1; round <= Rounds; ++round) {
            const QByteArray tag = lockstep::command(round).left(5);
            commands += lockstep::command(round);
            commandLines << lockstep::command(round).chopped(2);
            replies += lockstep::reply(tag);
            for (const QByteArray &line : lockstep::reply(tag).split('\n').mid(0, 3))
                replyLines << line.chopped(1);
        }
        {
            lockstep::ThreadClient client(r.session.serverPort(), Rounds);
            QSignalSpy through(&client.finish, &lockstep::Finish::finished);
            QVERIFY(through.wait(60000));
            QVERIFY(!client.failed);
            QCOMPARE(client.received, replies);
        }
        QTRY_COMPARE(r.departures, 1);
        QCOMPARE(r.toServer, commandLines);
        QCOMPARE(r.toClient, replyLines);
        r.link.disconnectFromServer();
        QTRY_VERIFY_WITH_TIMEOUT(server.done, 10000);
        QCOMPARE(server.received, commands);
        QVERIFY2(r.quickLines > 0, "no line came by the quick look");
    }

    // An attempt that can't be made ends with the failure handler, its
    // steps shown by the status handler, and the link can be made later.
    void connectFailures()
    {
        Relay r;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 refused = closed.serverPort();
        closed.close();
        r.link.connectTo(QStringLiteral("127.0.0.1"), refused);
        QVERIFY(r.link.settling());
        QTRY_COMPARE(r.failures, 1);
        QVERIFY(!r.link.settling());
        QVERIFY(!r.link.isOpen());
        QCOMPARE(r.statuses, QStringList{QStringLiteral("Connecting to 127.0.0.1.")});

        // A name that doesn't resolve: the look-up runs under its own bound.
        r.statuses.clear();
        r.link.connectTo(QStringLiteral("nonexistent.invalid"), 1);
        QCOMPARE(r.statuses, QStringList{QStringLiteral("Resolving hostname nonexistent.invalid.")});
        QVERIFY(r.link.settling());
        QTRY_COMPARE_WITH_TIMEOUT(r.failures, 2, ServerLink::ResolveTimeoutMs + 5000);
        QVERIFY(!r.link.settling());
        QVERIFY(!r.link.isOpen());

        // Given up while it runs: the late answer of the look-up changes nothing.
        r.link.connectTo(QStringLiteral("localhost"), refused);
        r.link.failAttempt();
        QCOMPARE(r.failures, 3);
        TestServer server;
        QVERIFY(r.connectServer(server.port()));
        QVERIFY(server.waitForClient());
        QCOMPARE(r.failures, 3);
        QCOMPARE(r.link.socket()->objectName(), QStringLiteral("IdTCPClient1"));
        QVERIFY(!r.link.settling());
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
