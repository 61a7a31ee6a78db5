// Lock-step traffic through the relay with peers that answer at once, on
// threads of their own, as a controller and a measuring program do. The
// window then reads both sides in its quick path (right after a burst) as
// well as in its usual one; lines cut in two, and lines that come while a
// burst is being handled, must still make one stream, in order.

#include "support/formfixture.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

int loopbackSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}
sockaddr_in loopback(quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}
bool sendAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
// Some lines go out in two pieces, a moment apart.
bool sendMaybeCut(int fd, const QByteArray &bytes, int round)
{
    if (round % 5 != 0)
        return sendAll(fd, bytes);
    const qsizetype cut = round % 2 ? 3 : bytes.size() - 1;
    if (!sendAll(fd, bytes.left(cut)))
        return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    return sendAll(fd, bytes.mid(cut));
}

// Answers every command line at once until the link goes down.
struct ThreadServer {
    int listener = -1;
    quint16 port = 0;
    QByteArray received;
    std::atomic<bool> done{false};
    std::thread thread;

    ThreadServer()
    {
        listener = loopbackSocket();
        sockaddr_in addr = loopback(0);
        ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listener, 1);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] { run(); });
    }
    std::atomic<int> connection{-1};
    // A test that failed half-way must still end: both sockets are shut.
    ~ThreadServer()
    {
        ::shutdown(listener, SHUT_RDWR);
        if (connection >= 0)
            ::shutdown(connection, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    void run()
    {
        const int fd = ::accept(listener, nullptr, nullptr);
        connection = fd;
        if (fd >= 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            QByteArray pending;
            char buf[4096];
            int round = 0;
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
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
            ::close(fd);
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
    std::atomic<int> socket{-1};
    ~ThreadClient()
    {
        if (socket >= 0)
            ::shutdown(socket, SHUT_RDWR);
        thread.join();
    }
    void run(quint16 port)
    {
        const int fd = loopbackSocket();
        socket = fd;
        sockaddr_in addr = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            failed = true;
        } else {
            char buf[4096];
            for (int round = 1; round <= Rounds && !failed; ++round) {
                const QByteArray end = command(round).left(5) + " %\r\n";
                if (!sendMaybeCut(fd, command(round), round))
                    failed = true;
                while (!failed && !received.endsWith(end)) {
                    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                    if (n <= 0)
                        failed = true;
                    else
                        received.append(buf, int(n));
                }
            }
        }
        socket = -1;
        ::close(fd);
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
