// Relay clients that come and go many times leave nothing behind: no open
// sockets. A process of its own, so that the counts see only this. (The
// memory and time these cycles take are measured by bench/faults_bench.)

#include "faultsupport.h"
#include "support/relayrig.h"

using namespace faults;

namespace {

// One client connects, is taken on, leaves, and the window has let it go
// (its socket deleted).
bool cycle(RelayRig &rig)
{
    TestRelayClient client;
    client.socket.connectToHost(QHostAddress::LocalHost, rig.relayPort);
    if (!QTest::qWaitFor([&] { return rig.f->RelayClientConnected(); }))
        return false;
    client.socket.disconnectFromHost();
    return QTest::qWaitFor([&] { return !rig.f->relayConnection; });
}

} // namespace

class TestCycles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The link stays up; 1,000 clients come and go.
    void manyClientsWithLinkUp()
    {
        RelayRig rig;
        QVERIFY(rig.connectServer());
        for (int i = 0; i < 100; ++i) // warm-up: whatever is made once is made
            QVERIFY(cycle(rig));
        const int fds = openFds();
        for (int i = 0; i < 1000; ++i)
            QVERIFY2(cycle(rig), qPrintable(QStringLiteral("cycle %1").arg(i)));
        QTRY_COMPARE(openFds(), fds);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Client disconnected to our server")), 1100);
        QVERIFY(rig.f->serverConnected);
        QVERIFY(rig.server.hasClient());
        QVERIFY(rig.f.messages.isEmpty());
    }

    // Each client brings the link up and takes it down again when it leaves.
    void clientsBringTheLinkUpAndDown()
    {
        RelayRig rig;
        auto linkCycle = [&] {
            if (!cycle(rig) || rig.f->serverConnected)
                return false;
            // the server has seen the link go before the next one comes
            return QTest::qWaitFor([&] { return !rig.server.hasClient(); });
        };
        for (int i = 0; i < 10; ++i)
            QVERIFY(linkCycle());
        const int fds = openFds();
        for (int i = 0; i < 100; ++i)
            QVERIFY2(linkCycle(), qPrintable(QStringLiteral("cycle %1").arg(i)));
        QTRY_COMPARE(openFds(), fds);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Connected")), 110);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Disconnected")), 110);
        QVERIFY(rig.f.messages.isEmpty());
    }
};

QTEST_MAIN(TestCycles)
#include "tst_cycles.moc"
