// Faults on the wire: a server that vanishes or never ends its line, every
// byte value in every position, a flooding relay client, and the window
// closed in the middle of things. Nothing may crash, hang or lose a line that
// arrived before the fault.

#include "faultsupport.h"
#include "support/helpers.h"
#include "support/relayrig.h"

#include "app/profile.h"
#include "log/logview.h"

#include <QCheckBox>
#include <QListWidget>

using namespace faults;

namespace {

const QString ClientLeft = QStringLiteral("---------- Client disconnected to our server");

// `base` with byte `b` put at each of its positions, for every byte but LF.
QList<QByteArray> everyByteEverywhere(const QByteArray &base)
{
    QList<QByteArray> out;
    for (int b = 0; b < 256; ++b) {
        if (b == '\n')
            continue;
        for (qsizetype p = 0; p <= base.size(); ++p) {
            QByteArray line = base;
            line.insert(p, char(b));
            out << line;
        }
    }
    return out;
}

// Each line once ended by CR LF and once by a bare LF: the wire bytes, and
// the lines a reader must see (LF ends a line, a CR right before it is not
// part of it, a CR anywhere else is).
void wireAndLines(const QList<QByteArray> &lines, QByteArray &wire, QList<QByteArray> &expected)
{
    for (const QByteArray &l : lines) {
        wire += l + "\r\n";
        expected << l;
    }
    for (const QByteArray &l : lines) {
        wire += l + "\n";
        expected << (l.endsWith('\r') ? l.chopped(1) : l);
    }
}

// The log bytes of `lines` behind `marker`.
QByteArray logBlock(const char *marker, const QList<QByteArray> &lines)
{
    QByteArray out;
    for (const QByteArray &l : lines)
        out += marker + l + "\r\n";
    return out;
}

// What the relay makes of a client's line: a backspace takes back the
// character before it.
QByteArray edited(const QByteArray &line)
{
    QByteArray out;
    for (char c : line) {
        if (c == '\b')
            out.chop(1);
        else
            out += c;
    }
    return out;
}

void openSession(TForm1 *f)
{
    f->sessionOpen = true;
    f->UpdateSessionControls();
}

void selectRows(TForm1 *f, int count)
{
    if (!f->cbMultiple->isChecked())
        f->cbMultiple->click();
    for (int i = 0; i < count; ++i)
        f->LbCommands->item(i)->setSelected(true);
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The server answers the first command of a multi-send with a burst of
    // lines and vanishes. Every line of the burst is logged, the multi-send
    // ends, and none of its rows goes out over a connection made later.
    void serverVanishesDuringMultiSend_data()
    {
        QTest::addColumn<bool>("acknowledged");
        QTest::addColumn<bool>("clientComes");
        QTest::newRow("before the acknowledge") << false << false;
        QTest::newRow("after the acknowledge") << true << false;
        // A relay client arrives with the drop and brings a new link up
        // (to the same server) while the multi-send still waits.
        QTest::newRow("client brings a new link") << true << true;
    }
    void serverVanishesDuringMultiSend()
    {
        QFETCH(bool, acknowledged);
        QFETCH(bool, clientComes);
        RelayRig rig;
        TForm1 *f = rig.f.form();
        TestRelayClient client;
        QStringList burst;
        rig.server.script = [&](const QByteArray &line) {
            if (rig.server.received.size() == 1) {
                const QByteArray tag = line.left(5);
                QByteArray bytes;
                if (acknowledged) {
                    bytes += tag + " &\r\n";
                    burst << QStringLiteral("<<< ") + QString::fromLatin1(tag + " &");
                }
                for (int i = 0; i < 500; ++i) {
                    const QByteArray data = tag + " # Data(" + QByteArray::number(i) + ")";
                    bytes += data + "\r\n";
                    burst << QStringLiteral("<<< ") + QString::fromLatin1(data);
                }
                rig.server.sendRaw(bytes);
                rig.server.dropClient();
                if (clientComes)
                    client.socket.connectToHost(QHostAddress::LocalHost, rig.relayPort);
            }
            return QList<QByteArray>();
        };
        QVERIFY(rig.connectServer());
        openSession(f);
        selectRows(f, 4);
        const QStringList rows = {f->LbCommands->item(0)->text(), f->LbCommands->item(1)->text(),
                                  f->LbCommands->item(2)->text(), f->LbCommands->item(3)->text()};
        QVERIFY(runMultiSend(f, [f] { f->BtSendMemo->click(); }));

        if (clientComes) {
            // Whichever came first, no row went out on a link made later: one
            // would arrive now.
            noLineWithin(rig.server);
            for (const QByteArray &line : rig.server.received.mid(1))
                for (const QString &row : rows.mid(1))
                    QVERIFY2(!line.endsWith(row.toLatin1()), line.constData());
            // The client that came in between is now the one that is relayed
            // to: the burst may have gone to it (and is logged as relayed).
            QStringList relayed = burst;
            relayed.replaceInStrings(QStringLiteral("<<< "), QStringLiteral("<$< "));
            QVERIFY(inOrder(rig.f.logLines(), burst) || inOrder(rig.f.logLines(), relayed));
            QCOMPARE(rig.logCount(QStringLiteral("---------- Multiple send ended, ")), 1);
            QVERIFY(rig.f.logLines().join('\n').contains(QStringLiteral("not sent (connection lost)")));
            QVERIFY(rig.f.messages.isEmpty());
            return;
        }
        QVERIFY(!f->serverConnected);
        const QStringList log = rig.f.logLines();
        QVERIFY(inOrder(log, burst));
        QVERIFY(rig.logCount(QStringLiteral("---------- Multiple send ended, ")) == 1);
        QVERIFY(log.join('\n').contains(QStringLiteral("not sent (connection lost)")));
        if (!acknowledged)
            QVERIFY(rig.logHas(
                QStringLiteral("---------- Multiple send ended, 3 commands not sent (connection lost)")));
        QVERIFY(rig.f.messages.isEmpty());

        // A later connection carries only what is sent on it.
        TestServer later;
        f->EdPort->setText(QString::number(later.port()));
        f->BtConnect->click();
        QTRY_VERIFY(f->serverConnected);
        QVERIFY(later.waitForClient());
        openSession(f);
        f->EdCurrentCommand->setText(QStringLiteral("Marker()"));
        f->BtSend->click();
        QVERIFY(later.waitForLines(1));
        QVERIFY(noLineWithin(later));
        QCOMPARE(later.received.size(), 1);
        QVERIFY(later.received.first().endsWith(" Marker()"));
    }

    // A server line that never ends, or a server that closes: the link goes
    // down, and every line before that has reached the log and the relay
    // client.
    void serverEndsWithClient_data()
    {
        QTest::addColumn<bool>("endless");
        QTest::newRow("1 MB without LF") << true;
        QTest::newRow("server closes") << false;
    }
    void serverEndsWithClient()
    {
        QFETCH(bool, endless);
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QList<QByteArray> lines;
        QByteArray bytes;
        for (int i = 0; i < 2000; ++i) {
            lines << "E0000 # KeyPress(" + QByteArray::number(i) + ")";
            bytes += lines.last() + "\r\n";
        }
        if (endless) {
            rig.server.sendRaw(bytes + QByteArray(1024 * 1024, 'x'));
        } else {
            rig.server.sendRaw(bytes);
            rig.server.dropClient();
        }
        QVERIFY(client.waitForClose(5000 * SlowFactor));
        QVERIFY(!rig.f->serverConnected);
        QCOMPARE(client.received, lines);
        const QByteArray log = logBytes(rig.f->MemoLog);
        QVERIFY(log.contains(logBlock("<$< ", lines)));
        const QStringList text = rig.f.logLines();
        if (endless)
            QVERIFY(
                inOrder(text,
                        {QStringLiteral("<$< E0000 # KeyPress(1999)"),
                         QStringLiteral("---------- Server line longer than %1 characters, connection closed")
                             .arg(MaxLineLength)}));
        QCOMPARE(rig.logCount(ClientLeft), 1);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Disconnected")), 1);
        QVERIFY(rig.f.messages.isEmpty());
        QTRY_VERIFY(!rig.server.hasClient());
    }

    // Every byte value but LF in every position of a line, each way through
    // the window, and on into the saved log: byte for byte, except that a CR
    // right before the LF ends with the line and a client's backspace takes
    // back the character before it.
    void everyByteInEveryPosition()
    {
        RelayRig rig;
        TForm1 *f = rig.f.form();
        QVERIFY(rig.connectServer());

        // server -> log
        QByteArray wire;
        QList<QByteArray> expected;
        wireAndLines(everyByteEverywhere("00001 # ab"), wire, expected);
        rig.server.sendRaw(wire);
        const int before = f->MemoLog->lineCount();
        QTRY_VERIFY(f->MemoLog->lineCount() >= before + expected.size());
        QVERIFY(logBytes(f->MemoLog).contains(logBlock("<<< ", expected)));

        // server -> relay client and log
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        rig.server.sendRaw(wire);
        QVERIFY(client.waitForLines(expected.size()));
        QCOMPARE(client.received, expected);
        QVERIFY(logBytes(f->MemoLog).contains(logBlock("<$< ", expected)));

        // relay client -> server and log
        QByteArray up;
        QList<QByteArray> sent;
        wireAndLines(everyByteEverywhere("00002 Ab(c)"), up, sent);
        QList<QByteArray> arrived;
        for (const QByteArray &l : sent)
            arrived << edited(l);
        rig.server.received.clear();
        client.sendRaw(up);
        QVERIFY(rig.server.waitForLines(arrived.size()));
        QList<QByteArray> onWire; // a CR inside a line goes out as a blank
        for (const QByteArray &l : arrived)
            onWire << QByteArray(l).replace('\r', ' ');
        QCOMPARE(rig.server.received, onWire);
        QVERIFY(logBytes(f->MemoLog).contains(logBlock(">$> ", arrived)));

        // The log paints such lines and saves them as they are.
        f->MemoLog->flushPending();
        f->MemoLog->repaint();
        const QString saved = rig.f.dir() + QStringLiteral("/traffic.txt");
        rig.f.fileAnswers << saved;
        const QByteArray shown = logBytes(f->MemoLog);
        f->BtSaveLog->click();
        QTRY_VERIFY(f->logSave.isNull());
        QVERIFY(rig.f.messages.isEmpty());
        QCOMPARE(readFile(saved), shown);

        // Command list -> file -> command list, every byte inside a row but
        // the line ends (a lone CR ends a line in a command file too).
        QStringList rows;
        for (int b = 0; b < 256; ++b) {
            if (b == '\n' || b == '\r')
                continue;
            for (int p = 1; p < 7; ++p)
                rows << QString::fromLatin1(QByteArray("Cmd(ab)").insert(p, char(b)));
        }
        f->LbCommands->clear();
        f->LbCommands->addItems(rows);
        rig.f.modifiers = Qt::ShiftModifier;
        rig.f.fileAnswers << rig.f.dir() + QStringLiteral("/rows.txt");
        f->BtSave->click();
        rig.f.modifiers = Qt::NoModifier;
        QVERIFY(rig.f.messages.isEmpty());
        f->LbCommands->clear();
        rig.f.fileAnswers << rig.f.dir() + QStringLiteral("/rows.txt");
        f->BtLoad->click();
        QStringList loaded;
        for (int i = 0; i < f->LbCommands->count(); ++i)
            loaded << f->LbCommands->item(i)->text();
        QCOMPARE(loaded, rows);
        QVERIFY(rig.f.messages.isEmpty());
    }

    // A client that sends 100,000 lines back to back: all reach the server in
    // order and the log. (How long the event loop pauses meanwhile is
    // measured by bench/faults_bench.)
    void relayClientFlood()
    {
        constexpr int Count = 100000;
        RelayRig rig;
        TForm1 *f = rig.f.form();
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));

        QByteArray bytes;
        QList<QByteArray> lines;
        lines.reserve(Count);
        for (int i = 0; i < Count; ++i) {
            lines << "00001 Flood(" + QByteArray::number(i) + ")";
            bytes += lines.last() + "\r\n";
        }
        client.sendRaw(bytes);
        QVERIFY(rig.server.waitForLines(Count, 20000 * SlowFactor));
        QCOMPARE(rig.server.received, lines);
        QVERIFY(logBytes(f->MemoLog).contains(logBlock(">$> ", lines)));
        QVERIFY(f->RelayClientConnected());
        QVERIFY(rig.f.messages.isEmpty());
    }

    // A client that sends a burst and leaves at once: every line it sent
    // before leaving is handled, then the session ends (here after the wait
    // for replies to its open commands, which never come).
    void clientFloodsAndLeaves()
    {
        constexpr int Count = 20000;
        RelayRig rig;
        rig.f->relayReplyWaitMs = 200;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QByteArray bytes;
        QList<QByteArray> lines;
        for (int i = 0; i < Count; ++i) {
            lines << "00001 Burst(" + QByteArray::number(i) + ")";
            bytes += lines.last() + "\r\n";
        }
        client.sendRaw(bytes);
        client.close();
        QVERIFY(rig.server.waitForLines(Count, 10000 * SlowFactor));
        QTRY_COMPARE(rig.logCount(ClientLeft), 1);
        QCOMPARE(rig.server.received, lines);
        QVERIFY(logBytes(rig.f->MemoLog).contains(logBlock(">$> ", lines)));
        QVERIFY(rig.f->serverConnected);
        QVERIFY(rig.f.messages.isEmpty());
    }

    // The server vanishes while a client floods: the lines it took are all
    // logged in order, the session ends, and at most one error is shown.
    void serverVanishesDuringClientFlood()
    {
        constexpr int Count = 50000;
        RelayRig rig;
        QVERIFY(rig.connectServer());
        TestRelayClient client;
        QVERIFY(rig.attach(client));
        QByteArray bytes;
        QStringList logged;
        for (int i = 0; i < Count; ++i) {
            const QByteArray line = "00001 Flood(" + QByteArray::number(i) + ")";
            bytes += line + "\r\n";
        }
        connect(&rig.server, &TestServer::lineReceived, this, [&] {
            if (rig.server.received.size() == 1000)
                rig.server.dropClient();
        });
        client.sendRaw(bytes);
        QVERIFY(client.waitForClose(10000 * SlowFactor));
        QTRY_VERIFY(!rig.f->serverConnected);
        QTRY_COMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY2(rig.f.messages.size() <= 1, qPrintable(QString::number(rig.f.messages.size())));
        // What the server took is a start of what was sent, all of it logged.
        QVERIFY(rig.server.received.size() >= 1000);
        QStringList expected;
        for (const QByteArray &l : rig.server.received)
            expected << QStringLiteral(">$> ") + QString::fromLatin1(l);
        QVERIFY(inOrder(rig.f.logLines(), expected));
        int sent = 0;
        for (const QString &l : rig.f.logLines())
            if (l.startsWith(QStringLiteral(">$> 00001 Flood(")))
                QCOMPARE(l, QStringLiteral(">$> 00001 Flood(%1)").arg(sent++));
        QVERIFY(sent >= rig.server.received.size());
    }

    // The window closed while a multi-send waits for its acknowledge and a
    // relay client is connected: the close goes through and the settings are
    // written. The link was either the operator's or the client's.
    void closeWhileMultiSendWaitsWithClient_data()
    {
        QTest::addColumn<bool>("operatorLink");
        QTest::newRow("operator's link") << true;
        QTest::newRow("client's link") << false;
    }
    void closeWhileMultiSendWaitsWithClient()
    {
        QFETCH(bool, operatorLink);
        RelayRig rig; // the server never acknowledges
        TForm1 *f = rig.f.form();
        TestRelayClient client;
        if (operatorLink)
            QVERIFY(rig.connectServer());
        QVERIFY(rig.attach(client));
        QVERIFY(f->serverConnected && rig.server.waitForClient());

        f->EdCurrentCommand->setText(QStringLiteral("Appended(1)"));
        f->BtAddToMemo->click();
        f->EdCurrentCommand->setText(QStringLiteral("Kept(\xe9)"));
        f->edToolC->setText(QStringLiteral("ProbeAtClose"));
        f->EdExclude->setText(QStringLiteral("Noise"));
        const int rows = f->LbCommands->count();
        rig.server.script = [&](const QByteArray &) {
            QTimer::singleShot(0, f, [&] { rig.f.close(); });
            return QList<QByteArray>();
        };
        openSession(f);
        selectRows(f, 3);
        const QByteArray second = f->LbCommands->item(1)->text().toLatin1();
        const QByteArray third = f->LbCommands->item(2)->text().toLatin1();
        QVERIFY(runMultiSend(f, [f] { f->BtSendMemo->click(); }));
        QVERIFY(client.waitForClose());
        // The first row went out; the rest did not (leaving the client's link
        // ends the open session first, with EndSession()).
        QVERIFY(!rig.server.received.isEmpty());
        for (const QByteArray &line : rig.server.received)
            QVERIFY(!line.endsWith(second) && !line.endsWith(third));
        QCOMPARE(rig.server.received.size(), operatorLink ? 1 : 2);
        QCOMPARE(rig.logCount(ClientLeft), 1);
        QVERIFY(!f->IdTCPServer1->isListening());
        QVERIFY(rig.f.messages.isEmpty());

        ProfileFile ini(rig.f.dir() + QStringLiteral("/Torvane.ini"));
        QVERIFY(ini.load());
        QCOMPARE(ini.readString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QString()),
                 QStringLiteral("127.0.0.1"));
        QCOMPARE(ini.readInteger(QStringLiteral("TCP/IP"), QStringLiteral("Port"), 0),
                 int(rig.server.port()));
        QCOMPARE(ini.readInteger(QStringLiteral("RelayServer"), QStringLiteral("Port"), 0),
                 int(rig.relayPort));
        QCOMPARE(ini.readString(QStringLiteral("CurrentCommand"), QStringLiteral("cmd"), QString()),
                 QStringLiteral("Kept(\xe9)"));
        QCOMPARE(ini.readString(QStringLiteral("Tool"), QStringLiteral("C"), QString()),
                 QStringLiteral("ProbeAtClose"));
        QCOMPARE(ini.readString(QStringLiteral("Exclude"), QStringLiteral("String"), QString()),
                 QStringLiteral("Noise"));
        QCOMPARE(ini.readInteger(QStringLiteral("Commands"), QStringLiteral("Count"), 0), rows);
        QCOMPARE(ini.readString(QStringLiteral("Commands"), QString::number(rows - 1), QString()),
                 QStringLiteral("Appended(1)"));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
