// Relay soak benchmark: 1,000 relay clients that come and go (time, open
// descriptors, resident memory), and a relay client sending 100,000 lines
// back to back (time, longest pause of the event loop), and a server that
// floods a relay client that never reads (resident memory over time). Prints
// each figure beside its target.

#include "log/logview.h"
#include "support/relayrig.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <cstdio>

namespace {

int openFds()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

qint64 residentKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// One client connects, is taken on, leaves, and the window has let it go.
bool cycle(RelayRig &rig)
{
    TestRelayClient client;
    client.socket.connectToHost(QHostAddress::LocalHost, rig.relayPort);
    if (!QTest::qWaitFor([&] { return rig.f->RelayClientConnected(); }))
        return false;
    client.socket.disconnectFromHost();
    return QTest::qWaitFor([&] { return !rig.f->relayConnection; });
}

void clientCycles()
{
    RelayRig rig;
    if (!rig.connectServer()) {
        std::printf("  client cycles: no link to the test server\n");
        return;
    }
    for (int i = 0; i < 100; ++i) // warm-up: whatever is made once is made
        cycle(rig);
    QTest::qWait(0);
    const int fds = openFds();
    const qint64 rss = residentKb();
    QElapsedTimer clock;
    clock.start();
    int done = 0;
    for (int i = 0; i < 1000; ++i)
        done += cycle(rig) ? 1 : 0;
    const qint64 ms = clock.elapsed();
    QTest::qWait(0);
    const qint64 grown = residentKb() - rss;
    std::printf("  1000 relay client cycles (%d completed)             %8lld ms\n", done, ms);
    std::printf("    open descriptors                                  %4d -> %-4d (target: unchanged)\n",
                fds, openFds());
    std::printf("    resident memory growth                            %+8lld kB   (target < 4096%s)\n",
                grown,
#if defined(__SANITIZE_ADDRESS__)
                "; meaningless here, freed memory is held back"
#else
                ""
#endif
    );
}

void clientFlood()
{
    constexpr int Count = 100000;
    RelayRig rig;
    TestRelayClient client;
    if (!rig.connectServer() || !rig.attach(client)) {
        std::printf("  client flood: no link or no relay client\n");
        return;
    }
    QByteArray bytes;
    for (int i = 0; i < Count; ++i)
        bytes += "00001 Flood(" + QByteArray::number(i) + ")\r\n";
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = qMax(longest, now - last);
        last = now;
    });
    clock.start();
    ticker.start(5);
    client.sendRaw(bytes);
    const bool all = rig.server.waitForLines(Count, 60000);
    const qint64 total = clock.elapsed();
    ticker.stop();
    std::printf("  100000 relayed lines, one client (%-11s)         %8lld ms\n",
                all ? "all arrived" : "NOT ALL", total);
    std::printf("    longest pause of the event loop                   %8lld ms   (target < 250)\n", longest);
}

// The server sends without end; the relay client reads nothing. What the
// window holds for the client stays bounded, so memory stays flat. The test
// server runs in this process too and keeps at most 1 MB queued.
void serverFloodsIdleClient(int seconds)
{
    RelayRig rig;
    if (!rig.connectServer()) {
        std::printf("  server flood: no link\n");
        return;
    }
    QTcpSocket client;
    client.setReadBufferSize(4096);
    client.connectToHost(QHostAddress::LocalHost, rig.relayPort);
    if (!client.waitForConnected(5000) || !QTest::qWaitFor([&] { return rig.f->RelayClientConnected(); })) {
        std::printf("  server flood: no relay client\n");
        return;
    }
    QByteArray block;
    for (int i = 0; i < 10000; ++i)
        block += "E0000 # X(" + QByteArray::number(i) + "), Y(20.125), Z(-3.5)\r\n";
    const qint64 startKb = residentKb();
    qint64 peakKb = startKb;
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        if (rig.server.queuedBytes() < 1024 * 1024) {
            rig.server.sendRaw(block);
            sent += block.size();
        }
        peakKb = qMax(peakKb, residentKb());
    });
    feeder.start(1);
    QTest::qWait(seconds * 1000);
    feeder.stop();
    const qint64 endKb = residentKb();
    std::printf("  server flood, client not reading, %d s: sent %lld MB, RSS %lld -> %lld MB (peak %lld MB)"
                "   (target: flat)\n",
                seconds, sent >> 20, startKb >> 10, endKb >> 10, peakKb >> 10);
    std::printf(
        "    waiting for the client                           %8lld KB   (bound %lld KB + socket buffers)\n",
        rig.f->IdTCPServer1->queued() >> 10, LineOutput::Bound >> 10);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::printf("faults_bench\n");
    clientCycles();
    clientFlood();
    serverFloodsIdleClient(argc > 1 ? atoi(argv[1]) : 30);
    return 0;
}
