// The seam to the system: reads and writes that never block, the half-close
// on a second handle, the log's scratch file, mapped pages, and termination
// requests handed to the event loop.

#include "platform/platform.h"
#include "platform/testsupport.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using platform::Io;

class TestPlatform : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // "Nothing now" and "gone" are told apart, both ways, and a peer that
    // has gone costs the writer no signal.
    void socketsNeverBlock()
    {
        qintptr s[2];
        QVERIFY(platform::test::SocketPair(s));
        char buf[64];
        QCOMPARE(platform::ReceiveNow(s[0], buf, sizeof buf).status, Io::WouldBlock);
        QVERIFY(platform::test::SendAll(s[1], "abc"));
        QVERIFY(platform::test::WaitReadable(s[0], 5000));
        const platform::IoResult got = platform::ReceiveNow(s[0], buf, sizeof buf);
        QCOMPARE(got.status, Io::Done);
        QCOMPARE(QByteArray(buf, int(got.bytes)), QByteArray("abc"));

        // A peer that doesn't read: the system takes so much, then no more.
        const QByteArray block(64 * 1024, 'x');
        platform::IoResult sent{0, Io::Done};
        for (int i = 0; i < 1000 && sent.status == Io::Done; ++i)
            sent = platform::SendNow(s[0], block.constData(), block.size());
        QCOMPARE(sent.status, Io::WouldBlock);

        // The peer's end is not a failure.
        QVERIFY(platform::ShutdownWrite(s[1]));
        QVERIFY(platform::test::WaitReadable(s[0], 5000));
        QCOMPARE(platform::ReceiveNow(s[0], buf, sizeof buf).status, Io::Ended);
        platform::CloseSocket(s[1]);
        QCOMPARE(platform::SendNow(s[0], "x", 1).status, Io::Failed);
        platform::CloseSocket(s[0]);
    }

    // The count the leak tests compare sees a socket come and go.
    void openHandlesCounted()
    {
        const int before = platform::test::OpenHandles();
        QVERIFY(before > 0);
        qintptr s[2];
        QVERIFY(platform::test::SocketPair(s));
        QVERIFY(platform::test::OpenHandles() >= before + 2);
        platform::CloseSocket(s[0]);
        platform::CloseSocket(s[1]);
        QCOMPARE(platform::test::OpenHandles(), before);
    }

    // A duplicate keeps the connection after the first handle is closed,
    // and its half-close ends the peer's input with a FIN.
    void duplicateOutlivesTheOriginal()
    {
        quint16 port = 0;
        const qintptr listener = platform::test::ListenLoopback(&port);
        QVERIFY(listener >= 0);
        const qintptr client = platform::test::ConnectLoopback(port);
        const qintptr server = platform::test::Accept(listener);
        QVERIFY(client >= 0 && server >= 0);
        const qintptr second = platform::DuplicateSocket(server);
        QVERIFY(second >= 0 && second != server);
        platform::CloseSocket(server);
        QVERIFY(platform::test::SendAll(second, "last words\r\n"));
        QVERIFY(platform::ShutdownWrite(second));
        QByteArray got;
        char buf[64];
        for (qint64 n; (n = platform::test::Receive(client, buf, sizeof buf)) > 0;)
            got.append(buf, int(n));
        QCOMPARE(got, QByteArray("last words\r\n"));
        // Reading goes on after the half-close.
        QVERIFY(platform::test::SendAll(client, "reply"));
        QVERIFY(platform::test::WaitReadable(second, 5000));
        QCOMPARE(platform::ReceiveNow(second, buf, sizeof buf).bytes, qint64(5));
        for (qintptr h : {client, second, listener})
            platform::CloseSocket(h);
        QCOMPARE(platform::DuplicateSocket(-1), qintptr(-1));
    }

    // What the half-closed relay client rests on, with Qt's own socket: at
    // the peer's FIN Qt ends the connection on its side and closes its
    // handle; a duplicate made before still carries bytes to the peer,
    // reads nothing more, and its half-close is the peer's end.
    void duplicateOutlivesQtsSocket()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const qintptr client = platform::test::ConnectLoopback(server.serverPort());
        QVERIFY(client >= 0);
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *qt = server.nextPendingConnection();
        const qintptr second = platform::DuplicateSocket(qt->socketDescriptor());
        QVERIFY(second >= 0);

        QVERIFY(platform::test::SendAll(client, "Last()\r\n"));
        QVERIFY(platform::ShutdownWrite(client));
        QTRY_COMPARE(qt->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(qt->readAll(), QByteArray("Last()\r\n"));
        QCOMPARE(qt->socketDescriptor(), qintptr(-1));

        char buf[64];
        QCOMPARE(platform::ReceiveNow(second, buf, sizeof buf).status, Io::Ended);
        const QByteArray reply = "00001 &\r\n00001 %\r\n";
        QCOMPARE(platform::SendNow(second, reply.constData(), reply.size()).bytes, qint64(reply.size()));
        QVERIFY(platform::ShutdownWrite(second));
        QByteArray got;
        for (qint64 n; (n = platform::test::Receive(client, buf, sizeof buf)) > 0;)
            got.append(buf, int(n));
        QCOMPARE(got, reply);
        platform::CloseSocket(second);
        platform::CloseSocket(client);
    }

    void scratchFile()
    {
        QTemporaryDir dir;
        QString error;
        const qintptr file = platform::OpenScratchFile(dir.path(), &error);
        QVERIFY2(file >= 0, qPrintable(error));
        // No one else sees it: gone from the folder, or (where the name
        // stays until the close) not to be opened by anyone else.
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            QFile other(dir.filePath(name));
            QVERIFY2(!other.open(QIODevice::ReadOnly), qPrintable(name));
        }

        QVERIFY(platform::WriteAt(file, "world", 5, 6, &error));
        QVERIFY(platform::WriteAt(file, "hello ", 6, 0, &error));
        char back[11];
        QVERIFY(platform::ReadAt(file, back, 11, 0));
        QCOMPARE(QByteArray(back, 11), QByteArray("hello world"));
        QVERIFY(!platform::ReadAt(file, back, 2, 10)); // past the end
        platform::CloseFile(file);
        QVERIFY(QDir(dir.path()).isEmpty()); // nothing left behind

        error.clear();
        QCOMPARE(platform::OpenScratchFile(dir.filePath(QStringLiteral("missing")), &error), qintptr(-1));
        QVERIFY(!error.isEmpty());

        // A full disk, as the writer sees it.
        const qintptr small = platform::OpenScratchFile(dir.path(), &error);
        QVERIFY2(small >= 0, qPrintable(error));
        const auto closeSmall = qScopeGuard([small] { platform::CloseFile(small); });
        platform::test::FileSizeLimit limit(1024);
        if (!limit.applied)
            QSKIP("this system has no file-size limit for one process");
        const QByteArray big(4096, 'y');
        error.clear();
        QVERIFY(!platform::WriteAt(small, big.constData(), big.size(), 0, &error));
        QVERIFY(!error.isEmpty());
    }

    void mappedPages()
    {
        const qint64 size = 1024 * 1024;
        char *p = platform::MapPages(size);
        QVERIFY(p);
        QCOMPARE(p[0], '\0');
        QCOMPARE(p[size - 1], '\0');
        p[size - 1] = 'z';
        platform::UnmapPages(p, size);
    }

    // Each request reaches the loop as one call; the handler is the one set
    // last, and it is set again for the next request.
    void terminationRequests()
    {
        int first = 0, second = 0;
        {
            QObject gone;
            QVERIFY(platform::OnTerminationRequest(&gone, [&] { ++first; }));
        }
        QObject context;
        QVERIFY(platform::OnTerminationRequest(&context, [&] { ++second; }));
        QVERIFY(platform::test::SendSignal(QCoreApplication::applicationPid(),
                                           platform::test::Signal::Terminate));
        QTRY_COMPARE(second, 1);
        QVERIFY(platform::OnTerminationRequest(&context, [&] { second += 10; }));
        QVERIFY(platform::test::SendSignal(QCoreApplication::applicationPid(),
                                           platform::test::Signal::Interrupt));
        QTRY_COMPARE(second, 11);
        QCOMPARE(first, 0);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
