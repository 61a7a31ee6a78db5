// The relay through the real window: a scripted server on one side, a
// stand-in relay client on the other.

#include "platform/platform.h"
#include "support/relayrig.h"

#include <QLabel>
#include <QCheckBox>
#include <QFocusEvent>
#include <QTcpSocket>

namespace {
const QString ClientConnected = QStringLiteral("---------- Client connected to our server");
const QString ClientLeft = QStringLiteral("---------- Client disconnected to our server");

int indexOfPrefix(const QStringList &lines, const QString &prefix)
{
    for (int i = 0; i < lines.size(); ++i)
        if (lines.at(i).startsWith(prefix))
            return i;
    return -1;
}
} // namespace

class TestRelay : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void routingByTag()
    {
        RelayRig rig;
        rig.server.script = [](const QByteArray &line) { return fullReply(line); };
        TestRelayClient client;
        QVERIFY(rig.attach(client));

        client.sendLine("00017 GoTo(X(1))");
        QVERIFY(client.waitForLines(3));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00017 GoTo(X(1))"});
        QVERIFY(rig.logHas(QStringLiteral(">$> 00017 GoTo(X(1))")));
        QVERIFY(rig.logHas(QStringLiteral("<$< 00017 # data 00017")));
        QVERIFY(rig.f->EdTag->text() == QLatin1String("100")); // the client's tag is its own

        // The operator's command in between: its replies stay in the log.
        rig.f->RunHandler([&] { rig.f->SendToIpp(QStringLiteral("Home()")); });
        QCOMPARE(rig.f->operatorTags, QByteArrayList{"00100"});
        QTRY_VERIFY(rig.logHas(QStringLiteral("<<< 00100 %")));
        QVERIFY(rig.logHas(QStringLiteral("<<< 00100 &")));
        QVERIFY(rig.logHas(QStringLiteral("<<< 00100 # data 00100")));
        QVERIFY(rig.f->operatorTags.isEmpty());

        // Forgotten at '%': a later line with that tag, and an unasked event,
        // go to the client.
        rig.server.sendLine("00100 # late");
        rig.server.sendLine("E0000 # KeyPress(\"F1\")");
        QVERIFY(client.waitForLines(5));
        QVERIFY(noLineWithin(client));
        QCOMPARE(client.received,
                 (QList<QByteArray>{"00017 &", "00017 # data 00017", "00017 %", "00100 # late",
                                    "E0000 # KeyPress(\"F1\")"}));
        QVERIFY(rig.logHas(QStringLiteral("<$< 00100 # late")));
        QVERIFY(rig.f.messages.isEmpty());
    }

    void clientBringsLinkUpAndDown()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QTRY_VERIFY(rig.f->serverConnected);
        QVERIFY(rig.server.waitForClient());
        QCOMPARE(rig.f->LaServerStatus->text(), QStringLiteral("Relaying from client"));
        const QStringList up = rig.f.logLines();
        QVERIFY(indexOfPrefix(up, ClientConnected) >= 0);
        QVERIFY(indexOfPrefix(up, ClientConnected)
                < indexOfPrefix(up, QStringLiteral("---------- Connected")));

        client.close();
        QTRY_VERIFY(!rig.f->serverConnected);
        QTRY_VERIFY(!rig.server.hasClient());
        QVERIFY(!rig.f->relayConnection);
        QCOMPARE(rig.f->LaServerStatus->text(), QString());
        QCOMPARE(rig.logCount(ClientLeft), 1);
        const QStringList down = rig.f.logLines();
        QVERIFY(indexOfPrefix(down, ClientLeft)
                < indexOfPrefix(down, QStringLiteral("---------- Disconnected")));

        // A link the operator brought up stays up.
        QVERIFY(rig.connectServer());
        TestRelayClient second;
        QVERIFY(rig.attach(second));
        QVERIFY(rig.f->serverWasConnected);
        second.close();
        QSignalSpy linkGone(&rig.server, &TestServer::clientLeft);
        QTRY_COMPARE(rig.logCount(ClientLeft), 2);
        QVERIFY(!linkGone.wait(50));
        QVERIFY(rig.f->serverConnected);
        QVERIFY(rig.server.hasClient());
        QVERIFY(!rig.f->serverWasConnected);
        QVERIFY(rig.f.messages.isEmpty());
    }

    // The client talks before the window has even seen it: the link comes up
    // first and the lines reach the server; a client that also leaves at once
    // still has its lines delivered before the link goes down again.
    void firstLinesSentAtOnce()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, rig.relayPort);
        QVERIFY(raw.waitForConnected(5000));
        raw.write("00001 Home()\r\n00002 GetProp(Tool.Name())\r\n");
        QVERIFY(raw.waitForBytesWritten(5000));
        QVERIFY(!rig.f->serverConnected);
        QVERIFY(rig.server.waitForLines(2));
        QCOMPARE(rig.server.received, (QList<QByteArray>{"00001 Home()", "00002 GetProp(Tool.Name())"}));
        QTRY_VERIFY(raw.bytesAvailable()
                    >= qint64(sizeof("00001 &\r\n00001 %\r\n00002 &\r\n00002 %\r\n") - 1));
        QCOMPARE(raw.readAll(), QByteArray("00001 &\r\n00001 %\r\n00002 &\r\n00002 %\r\n"));
        raw.disconnectFromHost();
        QTRY_VERIFY(!rig.f->serverConnected);

        QTcpSocket hitAndRun;
        hitAndRun.connectToHost(QHostAddress::LocalHost, rig.relayPort);
        QVERIFY(hitAndRun.waitForConnected(5000));
        hitAndRun.write("00003 Home()\r\n");
        QVERIFY(hitAndRun.waitForBytesWritten(5000));
        hitAndRun.disconnectFromHost();
        QVERIFY(rig.server.waitForLines(3));
        QCOMPARE(rig.server.received.last(), QByteArray("00003 Home()"));
        QTRY_COMPARE(rig.logCount(ClientLeft), 2);
        QTRY_VERIFY(!rig.f->serverConnected);
    }

    void backspacesAndEmptyLines()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendLine("00005 Hello\b\bp()");
        client.sendLine("");
        client.sendRaw("\r\n");
        client.sendLine("\b\b00006 Home()");
        QVERIFY(rig.server.waitForLines(2));
        QVERIFY(noLineWithin(rig.server));
        QCOMPARE(rig.server.received, (QList<QByteArray>{"00005 Help()", "00006 Home()"}));
        const QStringList log = rig.f.logLines();
        const int help = log.indexOf(QStringLiteral(">$> 00005 Help()"));
        QVERIFY(help >= 0);
        QCOMPARE(log.mid(help + 1, 3),
                 (QStringList{QStringLiteral(">$> ---------- timeout"),
                              QStringLiteral(">$> ---------- timeout"), QStringLiteral(">$> 00006 Home()")}));
    }

    // With no server link a client's line goes nowhere, but it is logged as
    // received, with a word on why it went no further.
    void linesNotForwardedWhileLinkIsDown()
    {
        RelayRig rig;
        rig.f->EdPort->setText(QString::number(FreePort())); // nobody there
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QTRY_COMPARE(rig.f->LaStatus->text(), QStringLiteral("Error: Cannot connect ..."));
        QVERIFY(!rig.f->serverConnected);
        // One burst: the event lines come out between the lines they follow.
        client.sendRaw("00001 Home()\r\n\r\n00002 Home()\r\n");
        QTRY_VERIFY(rig.logHas(QStringLiteral(">$> 00002 Home()")));
        const QStringList log = rig.f.logLines();
        const int at = indexOfPrefix(log, QStringLiteral(">$> 00001 Home()"));
        QVERIFY(at >= 0);
        const QString notForwarded = QStringLiteral("---------- Not forwarded: no server link");
        QCOMPARE(log.mid(at + 1, 4),
                 (QStringList{notForwarded, QStringLiteral(">$> ---------- timeout"),
                              QStringLiteral(">$> 00002 Home()"), notForwarded}));
        QVERIFY(rig.server.received.isEmpty());
        QVERIFY(client.isConnected());
        QVERIFY(rig.f.messages.isEmpty());
    }

    // A client that ends its input after its commands has their replies
    // relayed and logged; it leaves once they are complete, and the link
    // that was up before it stays.
    void halfClosedClientGetsItsReplies()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendRaw("00001 Home()\r\n00002 GetProp(Tool.Name())\r\n00003 Home()\r\n");
        client.socket.flush();
        platform::ShutdownWrite(client.socket.socketDescriptor());
        QVERIFY(rig.server.waitForLines(3));
        QTRY_VERIFY(rig.f->RelayClientFinishing());
        QVERIFY(rig.f->RelayClientConnected());
        // The wait is said, with its count and its bound.
        QTRY_VERIFY(
            rig.f->LaServerStatus->text().contains(QStringLiteral("waiting for 3 replies (up to 5 s)")));
        QCOMPARE(
            rig.logCount(QStringLiteral(
                "---------- Client closed its side: waiting up to 5 s for the replies to 3 open commands")),
            1);
        for (const char *tag : {"00001", "00002", "00003"}) {
            rig.server.sendLine(QByteArray(tag) + " &");
            rig.server.sendLine(QByteArray(tag) + " %");
        }
        QVERIFY(client.waitForLines(6));
        QTRY_COMPARE(rig.logCount(ClientLeft), 1);
        QCOMPARE(rig.logCount(QStringLiteral("<$< ")), 6);
        QVERIFY(rig.f->serverConnected); // the link was up before the client came
        QVERIFY(!rig.f->LaServerStatus->text().contains(QStringLiteral("waiting")));
    }

    // A command that never completes holds the session for a bounded time.
    void halfClosedClientLeavesAfterTheBound()
    {
        RelayRig rig;
        rig.f->relayReplyWaitMs = 300;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendLine("00001 Home()");
        QVERIFY(rig.server.waitForLines(1));
        client.socket.flush();
        platform::ShutdownWrite(client.socket.socketDescriptor());
        QTRY_VERIFY(rig.f->RelayClientFinishing());
        rig.server.sendLine("00001 &");
        QVERIFY(client.waitForLines(1));
        QTRY_COMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY(client.waitForClose());
        QVERIFY(!rig.f->RelayClientFinishing());
    }

    void secondClientRefused()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        TestRelayClient first;
        QVERIFY(rig.attach(first));
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, rig.relayPort);
        QVERIFY(second.waitForConnected(5000));
        second.write("00009 Home()\r\n");
        QVERIFY(waitUnconnected(second));
        QCOMPARE(second.readAll(), QByteArray());
        QCOMPARE(rig.logCount(ClientConnected), 1);
        QCOMPARE(rig.logCount(ClientLeft), 0);
        QCOMPARE(rig.f->LaServerStatus->text(), QStringLiteral("Relaying from client"));

        first.sendLine("00003 Home()");
        QVERIFY(first.waitForLines(2));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00003 Home()"});
        QCOMPARE(first.received, (QList<QByteArray>{"00003 &", "00003 %"}));
    }

    void linkLossDropsClient()
    {
        RelayRig rig;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QVERIFY(rig.server.waitForClient());
        rig.server.sendLine("00001 # last words");
        rig.server.dropClient();
        QVERIFY(client.waitForClose());
        QTRY_VERIFY(!rig.f->serverConnected);
        QCOMPARE(client.received, QList<QByteArray>{"00001 # last words"});
        QCOMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY(!rig.f->relayConnection);
        QCOMPARE(rig.f->relayStatusText, QString());

        // The listener goes on: the next client brings the link up again.
        TestRelayClient again;
        QVERIFY(rig.attach(again));
        QVERIFY(rig.f->serverConnected);
        QVERIFY(rig.f.messages.isEmpty());
    }

    // A client line over the limit ends the session, with an event line
    // that says why; the lines before it went on, and the operator's link
    // stays.
    void overlongLineEndsSession()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendRaw("00002 Home()\r\n" + QByteArray(MaxLineLength + 1, 'B') + "\n00003 Home()\r\n");
        QVERIFY(client.waitForClose());
        QTRY_COMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY(rig.logHas(QStringLiteral(">$> 00002 Home()")));
        QCOMPARE(
            rig.logCount(QStringLiteral("---------- Client line longer than %1 characters, connection closed")
                             .arg(MaxLineLength)),
            1);
        QVERIFY(rig.server.waitForLines(1));
        QVERIFY(noLineWithin(rig.server));
        QCOMPARE(rig.server.received, QList<QByteArray>{"00002 Home()"});
        QVERIFY(rig.f->serverConnected);
    }

    void bytesPassUnchanged()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));

        QByteArray up = "00001 ";
        QByteArray down = "00001 # ";
        for (int b = 1; b <= 0xFF; ++b) {
            if (b == '\n')
                continue;
            down += char(b);
            if (b != '\b') // backspaces are edited on the way up
                up += char(b);
        }
        client.sendLine(up);
        QVERIFY(rig.server.waitForLines(1));
        // A CR inside a line would end it on the wire: it goes out as a blank.
        QCOMPARE(rig.server.received.first(), QByteArray(up).replace('\r', ' '));
        QVERIFY(rig.logHas(QStringLiteral(">$> ") + QString::fromLatin1(up)));

        rig.server.sendLine(down);
        QVERIFY(client.waitForLines(1));
        QCOMPARE(client.received.first(), down);
        QVERIFY(rig.logHas(QStringLiteral("<$< ") + QString::fromLatin1(down)));
    }

    void listenPortChange()
    {
        RelayRig rig;
        rig.f->listenPortRestoreMs = 60;
        QString during;
        auto exitField = [&](const QString &text) {
            rig.f->edListenPort->setText(text);
            during.clear();
            QTimer::singleShot(15, rig.f.form(), [&] { during = rig.f->LaStatus->text(); });
            rig.f->RunHandler([&] { rig.f->edListenPortExit(); });
            QTRY_VERIFY(!during.isEmpty() && !rig.f->listenPortRestore->isActive());
        };
        rig.f->LaStatus->setText(QStringLiteral("before"));

        // The server's port.
        exitField(rig.f->EdPort->text());
        QCOMPARE(during, QStringLiteral("Err: PORT #"));
        QCOMPARE(rig.f->LaStatus->text(), QStringLiteral("before"));
        QCOMPARE(rig.f->edListenPort->text(), QString::number(rig.relayPort));
        QVERIFY(rig.listening());

        // Only leaving the field applies it, not leaving the window.
        rig.f->edListenPort->setText(rig.f->EdPort->text());
        QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(rig.f->edListenPort, &away);
        QCOMPARE(rig.f->LaStatus->text(), QStringLiteral("before"));
        QCOMPARE(rig.f->edListenPort->text(), rig.f->EdPort->text());
        QFocusEvent tab(QEvent::FocusOut, Qt::TabFocusReason);
        QTimer::singleShot(15, rig.f.form(), [&] { during = rig.f->LaStatus->text(); });
        QCoreApplication::sendEvent(rig.f->edListenPort, &tab);
        QTRY_VERIFY(!during.isEmpty() && !rig.f->listenPortRestore->isActive());
        QCOMPARE(during, QStringLiteral("Err: PORT #"));
        QCOMPARE(rig.f->edListenPort->text(), QString::number(rig.relayPort));

        // Not a number, in either field: a message and nothing else.
        rig.f->edListenPort->setText(QStringLiteral("12ab"));
        rig.f->RunHandler([&] { rig.f->edListenPortExit(); });
        QCOMPARE(rig.f.messages.size(), 1);
        QCOMPARE(rig.f.messages.last().text, QStringLiteral("'12ab' is not a valid integer value."));
        const QString serverPort = rig.f->EdPort->text();
        rig.f->EdPort->setText(QStringLiteral("x"));
        rig.f->edListenPort->setText(QString::number(FreePort()));
        rig.f->RunHandler([&] { rig.f->edListenPortExit(); });
        QCOMPARE(rig.f.messages.last().text, QStringLiteral("'x' is not a valid integer value."));
        rig.f->EdPort->setText(serverPort);
        QCOMPARE(rig.f->LaStatus->text(), QStringLiteral("before"));
        QVERIFY(rig.listening());
        rig.f.messages.clear();

        // A client is connected: the port stays.
        {
            TestRelayClient client;
            QVERIFY(rig.attach(client));
            rig.f->LaStatus->setText(QStringLiteral("before"));
            exitField(QString::number(FreePort()));
            QCOMPARE(during, QStringLiteral("Err: Server Connected"));
            QCOMPARE(rig.f->edListenPort->text(), QString::number(rig.relayPort));
            QVERIFY(rig.listening());
            client.close();
            QTRY_VERIFY(!rig.f->relayConnection);
        }

        // A free port: the listener moves there.
        rig.f->LaStatus->setText(QStringLiteral("before"));
        const quint16 moved = FreePort();
        exitField(QString::number(moved));
        QCOMPARE(during, QStringLiteral("Server Reset"));
        QCOMPARE(rig.f->LaStatus->text(), QStringLiteral("before"));
        QCOMPARE(rig.f->edListenPort->text(), QString::number(moved));
        QCOMPARE(rig.f->listenPort, moved);
        rig.relayPort = moved;
        QVERIFY(rig.listening());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.close();
        QTRY_VERIFY(!rig.f->relayConnection);
        QVERIFY(rig.f.messages.isEmpty());

        // A port in use: the listener stays off, the typed port is kept.
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::AnyIPv4, 0));
        exitField(QString::number(blocker.serverPort()));
        QCOMPARE(rig.f.messages.size(), 1);
        QCOMPARE(rig.f.messages.last().text,
                 QStringLiteral("Could not bind socket. Address and port are already in use."));
        QCOMPARE(rig.f->LaStatus->text(), QStringLiteral("Server Reset"));
        QCOMPARE(rig.f->edListenPort->text(), QString::number(blocker.serverPort()));
        QCOMPARE(rig.f->listenPort, blocker.serverPort());
        QVERIFY(!rig.f->IdTCPServer1->isListening());
    }

    // Closing the window drops the client; the leave handling runs once and
    // takes down the link the client brought up; the close goes on.
    void closeWithClientConnected()
    {
        RelayRig rig;
        rig.server.autoAcknowledge = true;
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        client.sendLine("00001 Home()");
        QVERIFY(client.waitForLines(2));
        rig.f.close();
        QVERIFY(client.waitForClose());
        QCOMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY(!rig.f->serverConnected);
        QVERIFY(!rig.f->IdTCPServer1->isListening());
        QTRY_VERIFY(!rig.server.hasClient());
        QVERIFY(rig.f.messages.isEmpty());
    }

    // A client that sends a thousand commands at once, while the link it
    // brings up is still connecting: every one reaches the server, in order.
    void linesWaitForTheLinkToSettle()
    {
        RelayRig rig;
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, rig.relayPort);
        QVERIFY(raw.waitForConnected(5000));
        QByteArray burst;
        QList<QByteArray> expected;
        for (int i = 1; i <= 1000; ++i) {
            const QByteArray line =
                QByteArray::number(i).rightJustified(5, '0') + " GoTo(X(" + QByteArray::number(i) + "))";
            expected << line;
            burst += line + "\r\n";
        }
        raw.write(burst);
        QVERIFY(raw.waitForBytesWritten(5000));
        QVERIFY(rig.server.waitForLines(1000, 10000));
        QCOMPARE(rig.server.received, expected);
        QVERIFY(rig.f->serverConnected);
        QCOMPARE(rig.logCount(QStringLiteral(">$> ")), 1000);
    }
};

QTEST_MAIN(TestRelay)
#include "tst_relay.moc"
