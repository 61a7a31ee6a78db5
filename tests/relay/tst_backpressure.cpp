// A peer that stops reading holds back the other side, within a bound, and
// once it reads again gets every byte, in order.

#include "support/relayrig.h"

#include "link/linereader.h"
#include "link/lineoutput.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Lines enough to fill both legs' network buffers several times over.
QByteArray flood(const char *what, int count)
{
    QByteArray bytes;
    bytes.reserve(count * 100);
    for (int i = 0; i < count; ++i) {
        bytes += QByteArray::number(i % 50000).rightJustified(5, '0') + ' ' + what + " X("
            + QByteArray::number(i) + ") " + QByteArray(60, 'p') + "\r\n";
    }
    return bytes;
}

// Reads from `socket` until `expected` bytes have come; false on a stall.
bool readEverything(QTcpSocket &socket, qsizetype expected, QByteArray &got)
{
    socket.setReadBufferSize(0);
    return QTest::qWaitFor(
        [&] {
            got += socket.readAll();
            return got.size() >= expected;
        },
        60000);
}

constexpr qint64 Slack = LineOutput::Bound + 2 * ReadChunk;

} // namespace

class TestBackpressure : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serverFloodsAClientThatStopsReading()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        QTcpSocket client;
        client.setReadBufferSize(4096); // and nothing read for now
        client.connectToHost(QHostAddress::LocalHost, rig.relayPort);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(rig.f->RelayClientConnected());

        const QByteArray bytes = flood("#", 400000); // 40 MB
        rig.server.sendRaw(bytes);
        QTRY_VERIFY_WITH_TIMEOUT(rig.f->IdTCPClient1->readingHeld(), 30000);
        QVERIFY(rig.f->IdTCPServer1->queued() <= Slack);
        // The window still works meanwhile: the operator's command goes out.
        rig.f->sessionOpen = true;
        rig.f->EdTag->setText(QStringLiteral("60000")); // a tag the flood doesn't use
        rig.f->SendToIpp(QStringLiteral("GetProp(Tool.Name())"));
        QVERIFY(rig.server.waitForLines(1));
        QVERIFY(rig.f->IdTCPServer1->queued() <= Slack);

        QByteArray got;
        QVERIFY(readEverything(client, bytes.size(), got));
        QVERIFY(got == bytes);
        QTRY_COMPARE(rig.logCount(QStringLiteral("<$< ")), 400000);
        QVERIFY(!rig.f->IdTCPClient1->readingHeld());
    }

    void clientFloodsAServerThatStopsReading()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        RelayRig rig;
        rig.f->EdPort->setText(QString::number(listener.serverPort()));
        rig.f->BtConnectClick();
        QVERIFY(listener.waitForNewConnection(5000));
        QTcpSocket *server = listener.nextPendingConnection();
        server->setReadBufferSize(4096);
        QTRY_VERIFY(rig.f->serverConnected);

        TestRelayClient client;
        QVERIFY(rig.attach(client));
        const QByteArray bytes = flood("GoTo", 400000);
        client.sendRaw(bytes);
        QTRY_VERIFY_WITH_TIMEOUT(rig.f->IdTCPServer1->readingHeld(), 30000);
        QVERIFY(rig.f->IdTCPClient1->queued() <= Slack);

        QByteArray got;
        QVERIFY(readEverything(*server, bytes.size(), got));
        QVERIFY(got == bytes);
        QTRY_COMPARE(rig.logCount(QStringLiteral(">$> ")), 400000);
    }
};

QTEST_MAIN(TestBackpressure)
#include "tst_backpressure.moc"
