// Lock-step traffic through the relay with peers that answer at once, on
// threads of their own, as a controller and a measuring program do. The
// window then reads both sides in its quick path (right after a burst) as
// well as in its usual one; lines cut in two, and lines that come while a
// burst is being handled, must still make one stream, in order.

#include "platform/platform.h"
#include "platform/testsupport.h"
#include "support/formfixture.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
constexpr int Rounds = 2000;

QByteArray command(int round)
{
    return QByteArray::number(round).rightJustified(5, '0') + " Get(X())\r\n";
}
QByteArray reply(const QByteArray &tag)
{
    return tag + " &\r\n" + tag + " # X(1.5)\r\n" + tag + " %\r\n";
}

using platform::test::SendAll;

// Some lines go out in two pieces, a moment apart.
bool sendMaybeCut(qintptr fd, const QByteArray &bytes, int round)
{
    if (round % 5 != 0)
        return SendAll(fd, bytes);
    const qsizetype cut = round % 2 ? 3 : bytes.size() - 1;
    if (!SendAll(fd, bytes.left(cut)))
        return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    return SendAll(fd, bytes.mid(cut));
}

// Answers every command line at once until the link goes down.
struct ThreadServer {
    qintptr listener = -1;
    quint16 port = 0;
    QByteArray received;
    std::atomic<bool> done{false};
    std::thread thread;

    ThreadServer()
    {
        listener = platform::test::ListenLoopback(&port, 1);
        thread = std::thread([this] { run(); });
    }
    std::atomic<qintptr> connection{-1};
    // A test that failed half-way must still end: both sockets are shut.
    ~ThreadServer()
    {
        platform::test::ShutdownBoth(listener);
        if (connection >= 0)
            platform::test::ShutdownBoth(connection);
        thread.join();
        platform::CloseSocket(listener);
    }
    void run()
    {
        const qintptr fd = platform::test::Accept(listener);
        connection = fd;
        if (fd >= 0) {
            platform::test::SetNoDelay(fd);
            QByteArray pending;
            char buf[4096];
            int round = 0;
            for (qint64 n; (n = platform::test::Receive(fd, buf, sizeof buf)) > 0;) {
                received.append(buf, int(n));
                pending.append(buf, int(n));
                for (qsizetype lf; (lf = pending.indexOf('\n')) >= 0;) {
                    const QByteArray tag = pending.left(5);
                    pending.remove(0, lf + 1);
                    if (!sendMaybeCut(fd, reply(tag), ++round))
                        break;
                }
            }
            connection = -1;
            platform::CloseSocket(fd);
        }
        done = true;
    }
};

// Tells the test's event loop that a peer thread is through. The loop runs
// as the program's does, waiting for events, not polling.
class Finish : public QObject {
    Q_OBJECT
public:
    void post() { QMetaObject::invokeMethod(this, &Finish::finished, Qt::QueuedConnection); }
Q_SIGNALS:
    void finished();
};

// Sends each command when the last one is complete; then leaves.
struct ThreadClient {
    QByteArray received;
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    Finish finish;
    std::thread thread;

    explicit ThreadClient(quint16 port)
    {
        thread = std::thread([this, port] { run(port); });
    }
    std::atomic<qintptr> socket{-1};
    ~ThreadClient()
    {
        if (socket >= 0)
            platform::test::ShutdownBoth(socket);
        thread.join();
    }
    void run(quint16 port)
    {
        const qintptr fd = platform::test::ConnectLoopback(port, true);
        socket = fd;
        if (fd < 0) {
            failed = true;
        } else {
            char buf[4096];
            for (int round = 1; round <= Rounds && !failed; ++round) {
                const QByteArray end = command(round).left(5) + " %\r\n";
                if (!sendMaybeCut(fd, command(round), round))
                    failed = true;
                while (!failed && !received.endsWith(end)) {
                    const qint64 n = platform::test::Receive(fd, buf, sizeof buf);
                    if (n <= 0)
                        failed = true;
                    else
                        received.append(buf, int(n));
                }
            }
        }
        socket = -1;
        platform::CloseSocket(fd);
        done = true;
        finish.post();
    }
};
} // namespace

class TestLockstep : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyLineInOrder()
    {
        FormFixture f;
        f->noTimeStamp = true;
        ThreadServer server;
        f->EdHost->setText(QStringLiteral("127.0.0.1"));
        f->EdPort->setText(QString::number(server.port));
        f->listenPort = FreePort();
        f->RunHandler([&] { f->StartRelayListener(); });

        QByteArray commands, replies;
        QStringList logged;
        for (int round = 1; round <= Rounds; ++round) {
            const QByteArray tag = command(round).left(5);
            commands += command(round);
            replies += reply(tag);
            logged << QStringLiteral(">$> ") + QString::fromLatin1(command(round).chopped(2));
            for (const QByteArray &line : reply(tag).split('\n').mid(0, 3))
                logged << QStringLiteral("<$< ") + QString::fromLatin1(line.chopped(1));
        }

        {
            ThreadClient client(f->listenPort);
            QSignalSpy through(&client.finish, &Finish::finished);
            QVERIFY(through.wait(60000));
            QVERIFY(!client.failed);
            QCOMPARE(client.received, replies);
        }
        // The client brought the link up; its leaving takes it down.
        QTRY_VERIFY_WITH_TIMEOUT(server.done, 10000);
        QCOMPARE(server.received, commands);
        QStringList relayed;
        for (const QString &line : f.logLines()) {
            if (line.startsWith(QLatin1String(">$> ")) || line.startsWith(QLatin1String("<$< ")))
                relayed << line;
        }
        QCOMPARE(relayed, logged);
        QVERIFY(f.messages.isEmpty());
    }
};

QTEST_MAIN(TestLockstep)
#include "tst_lockstep.moc"
