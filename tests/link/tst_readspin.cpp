// The quick read path: asking for bytes without sleeping, and taking them
// straight from the system without upsetting what the socket itself reads.

#include "link/linereader.h"
#include "link/readspin.h"
#include "platform/platform.h"
#include "platform/testsupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
bool kernelHasBytes(qintptr fd)
{
    return platform::test::WaitReadable(fd, 5000);
}

void sendAll(qintptr fd, const QByteArray &bytes)
{
    QVERIFY(platform::test::SendAll(fd, bytes));
}
} // namespace

class TestReadSpin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readinessOfEachDescriptor()
    {
        qintptr a[2], b[2];
        QVERIFY(platform::test::SocketPair(a));
        QVERIFY(platform::test::SocketPair(b));
        const qintptr fds[] = {-1, a[0], b[0]};
        Readiness ready[3];

        QVERIFY(!SpinUntilReadable(fds, ready, 3, 1000));
        for (Readiness r : ready)
            QCOMPARE(r, Readiness::Nothing);

        sendAll(b[1], "x");
        QVERIFY(SpinUntilReadable(fds, ready, 3, 1000 * 1000));
        QCOMPARE(ready[0], Readiness::Nothing);
        QCOMPARE(ready[1], Readiness::Nothing);
        QCOMPARE(ready[2], Readiness::Data);

        // An end waiting is not plain data, with bytes before it or without.
        platform::ShutdownWrite(b[1]);
        platform::ShutdownWrite(a[1]);
        QVERIFY(SpinUntilReadable(fds, ready, 3, 1000 * 1000));
        QCOMPARE(ready[1], Readiness::Other);
        // Wine's WSAPoll says only POLLRDNORM while bytes lie before the
        // end; Windows adds POLLHUP.
        if (!platform::test::UnderWine())
            QCOMPARE(ready[2], Readiness::Other);

        const qintptr none[] = {-1, -1};
        QVERIFY(!SpinUntilReadable(none, ready, 2, 1000 * 1000 * 1000)); // nothing to ask: no wait
        for (qintptr fd : {a[0], a[1], b[0], b[1]})
            platform::CloseSocket(fd);
    }

    // Bytes taken straight from the system and bytes the socket read itself
    // make one stream, in order; an end, and a reader held back, are left
    // to the socket.
    void directReadKeepsTheStream()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        const qintptr peer = platform::test::ConnectLoopback(listener.serverPort());
        QVERIFY(peer >= 0);
        QVERIFY(listener.waitForNewConnection(5000));
        QTcpSocket *socket = listener.nextPendingConnection();
        QVERIFY(socket);
        socket->setReadBufferSize(ReadChunk);
        const qintptr fd = socket->socketDescriptor();

        LineReader reader;
        reader.attach(socket);
        QList<QByteArray> got;
        bool goOn = true;
        const auto drain = [&] {
            return reader.drain([&] { return goOn; }, [&](const QByteArray &line) { got << line; });
        };

        sendAll(peer, "A\r\nB");
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(reader.readDirect());
        QCOMPARE(drain(), LineReader::Drained);
        QCOMPARE(got, QList<QByteArray>{"A"});
        sendAll(peer, "\r\nC\r\n");
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(reader.readDirect());
        drain();
        QCOMPARE(got, (QList<QByteArray>{"A", "B", "C"}));

        // The socket has bytes of its own: later ones wait behind them.
        sendAll(peer, "D\r\n");
        QTRY_VERIFY(socket->bytesAvailable() > 0);
        sendAll(peer, "E\r\n");
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(!reader.readDirect());
        drain();
        QTRY_VERIFY(socket->bytesAvailable() > 0);
        drain();
        QCOMPARE(got, (QList<QByteArray>{"A", "B", "C", "D", "E"}));

        // Held back: nothing more is taken until a drain goes on.
        sendAll(peer, "F\r\nG\r\n");
        QTRY_VERIFY(socket->bytesAvailable() > 0);
        goOn = false;
        QCOMPARE(drain(), LineReader::Held);
        sendAll(peer, "H\r\n");
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(!reader.readDirect());
        goOn = true;
        drain();
        QTRY_VERIFY(socket->bytesAvailable() > 0);
        drain();
        QCOMPARE(got.mid(5), (QList<QByteArray>{"F", "G", "H"}));

        // The end goes the socket's way: it sees the close.
        platform::ShutdownWrite(peer);
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(!reader.readDirect());
        QTRY_VERIFY(socket->state() == QAbstractSocket::UnconnectedState || !socket->isReadable()
                    || socket->atEnd());
        platform::CloseSocket(peer);
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        delete socket;
    }
};

QTEST_GUILESS_MAIN(TestReadSpin)
#include "tst_readspin.moc"
