// Relay clients that come and go many times leave nothing behind: no open
// sockets, no growing memory. A process of its own, so that the counts see
// only this.

#include "faultsupport.h"
#include "relay/relayrig.h"

#include <QElapsedTimer>

using namespace faults;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool Instrumented = true;  // freed memory is held back on purpose
#else
constexpr bool Instrumented = false;
#endif

// The window's own deferred deletions done: its closed sockets are gone.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// One client connects, is taken on, leaves, and the window has let it go.
bool cycle(RelayRig &rig)
{
    TestRelayClient client;
    client.socket.connectToHost(QHostAddress::LocalHost, rig.relayPort);
    if (!waitUntil([&] { return rig.f->RelayClientConnected(); }))
        return false;
    client.socket.disconnectFromHost();
    return waitUntil([&] { return !rig.f->relayConnection; });
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
        for (int i = 0; i < 100; ++i)  // warm-up: whatever is made once is made
            QVERIFY(cycle(rig));
        settle();
        const int fds = openFds();
        const qint64 rss = residentKb();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 1000; ++i)
            QVERIFY2(cycle(rig), qPrintable(QStringLiteral("cycle %1").arg(i)));
        const qint64 ms = clock.elapsed();
        settle();
        const qint64 grown = residentKb() - rss;
        qInfo("1000 client cycles in %lld ms; descriptors %d -> %d; resident memory %+lld kB", ms, fds,
              openFds(), grown);
        QCOMPARE(openFds(), fds);
        // Each cycle adds two event lines to the log, about 150 bytes.
        if (!Instrumented)
            QVERIFY2(grown < 4096, qPrintable(QStringLiteral("resident memory grew by %1 kB").arg(grown)));
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
            return waitUntil([&] { return !rig.server.hasClient(); });
        };
        for (int i = 0; i < 10; ++i)
            QVERIFY(linkCycle());
        settle();
        const int fds = openFds();
        for (int i = 0; i < 100; ++i)
            QVERIFY2(linkCycle(), qPrintable(QStringLiteral("cycle %1").arg(i)));
        settle();
        QCOMPARE(openFds(), fds);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Connected")), 110);
        QCOMPARE(rig.logCount(QStringLiteral("---------- Disconnected")), 110);
        QVERIFY(rig.f.messages.isEmpty());
    }
};

QTEST_MAIN(TestCycles)
#include "tst_cycles.moc"
