// The window under backpressure: a relay client that stops reading holds
// back the server's lines, and meanwhile the window still works; once the
// client reads again, every line is relayed and logged.

#include "support/flood.h"
#include "support/relayrig.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

class TestBackpressure : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // (How the connections hold back and catch up, both ways, is tested on
    // the connection objects.)
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
        QVERIFY(rig.f->IdTCPServer1->queued() <= BackpressureSlack);
        // The window still works meanwhile: the operator's command goes out.
        rig.f->sessionOpen = true;
        rig.f->EdTag->setText(QStringLiteral("60000")); // a tag the flood doesn't use
        rig.f->SendToIpp(QStringLiteral("GetProp(Tool.Name())"));
        QVERIFY(rig.server.waitForLines(1));
        QVERIFY(rig.f->IdTCPServer1->queued() <= BackpressureSlack);

        QByteArray got;
        QVERIFY(readEverything(client, bytes.size(), got));
        QVERIFY(got == bytes);
        QTRY_COMPARE(rig.logCount(QStringLiteral("<$< ")), 400000);
        QVERIFY(!rig.f->IdTCPClient1->readingHeld());
    }

    // The other way round: every line of a relay client that floods a
    // server that stops reading is relayed and logged once it reads again.
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

        QByteArray got;
        QVERIFY(readEverything(*server, bytes.size(), got));
        QVERIFY(got == bytes);
        QTRY_COMPARE(rig.logCount(QStringLiteral(">$> ")), 400000);
    }
};

QTEST_MAIN(TestBackpressure)
#include "tst_backpressure.moc"
