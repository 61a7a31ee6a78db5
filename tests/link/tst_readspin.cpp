// The quick read path: asking for bytes without sleeping, and taking them
// straight from the system without upsetting what the socket itself reads.

#include "link/linereader.h"
#include "link/readspin.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
bool kernelHasBytes(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
}

void sendAll(int fd, const QByteArray &bytes)
{
    QCOMPARE(::send(fd, bytes.constData(), size_t(bytes.size()), 0), ssize_t(bytes.size()));
}
} // namespace

class TestReadSpin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readinessOfEachDescriptor()
    {
        int a[2], b[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
        const int fds[] = {-1, a[0], b[0]};
        Readiness ready[3];

        QVERIFY(!SpinUntilReadable(fds, ready, 3, 1000));
        for (Readiness r : ready)
            QCOMPARE(r, Readiness::Nothing);

        QCOMPARE(::write(b[1], "x", 1), ssize_t(1));
        QVERIFY(SpinUntilReadable(fds, ready, 3, 1000 * 1000));
        QCOMPARE(ready[0], Readiness::Nothing);
        QCOMPARE(ready[1], Readiness::Nothing);
        QCOMPARE(ready[2], Readiness::Data);

        // An end waiting is not plain data, with bytes before it or without.
        ::shutdown(b[1], SHUT_WR);
        ::shutdown(a[1], SHUT_WR);
        QVERIFY(SpinUntilReadable(fds, ready, 3, 1000 * 1000));
        QCOMPARE(ready[1], Readiness::Other);
        QCOMPARE(ready[2], Readiness::Other);

        const int none[] = {-1, -1};
        QVERIFY(!SpinUntilReadable(none, ready, 2, 1000 * 1000 * 1000)); // nothing to ask: no wait
        for (int fd : {a[0], a[1], b[0], b[1]})
            ::close(fd);
    }

    // Bytes taken straight from the system and bytes the socket read itself
    // make one stream, in order; an end, and a reader held back, are left
    // to the socket.
    void directReadKeepsTheStream()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(listener.serverPort());
        QCOMPARE(::connect(peer, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        QVERIFY(listener.waitForNewConnection(5000));
        QTcpSocket *socket = listener.nextPendingConnection();
        QVERIFY(socket);
        socket->setReadBufferSize(ReadChunk);
        const int fd = int(socket->socketDescriptor());

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
        ::shutdown(peer, SHUT_WR);
        QVERIFY(kernelHasBytes(fd));
        QVERIFY(!reader.readDirect());
        QTRY_VERIFY(socket->state() == QAbstractSocket::UnconnectedState || !socket->isReadable()
                    || socket->atEnd());
        ::close(peer);
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        delete socket;
    }
};

QTEST_GUILESS_MAIN(TestReadSpin)
#include "tst_readspin.moc"
