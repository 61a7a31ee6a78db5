#pragma once
// Lock-step peers with blocking sockets on threads of their own, as a
// controller and a measuring program are: the server answers each command at
// once, the client sends the next command when the last one is complete.
// Some lines go out in two pieces, a moment apart.

#include "platform/platform.h"
#include "platform/testsupport.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <chrono>
#include <thread>

namespace lockstep {

inline QByteArray command(int round)
{
    return QByteArray::number(round).rightJustified(5, '0') + " Get(X())\r\n";
}
inline QByteArray reply(const QByteArray &tag)
{
    return tag + " &\r\n" + tag + " # X(1.5)\r\n" + tag + " %\r\n";
}

inline bool sendMaybeCut(qintptr fd, const QByteArray &bytes, int round)
{
    if (round % 5 != 0)
        return platform::test::SendAll(fd, bytes);
    const qsizetype cut = round % 2 ? 3 : bytes.size() - 1;
    if (!platform::test::SendAll(fd, bytes.left(cut)))
        return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    return platform::test::SendAll(fd, bytes.mid(cut));
}

// Answers every command line at once until the link goes down.
struct ThreadServer {
    qintptr listener = -1;
    quint16 port = 0;
    QByteArray received;
    std::atomic<bool> done{false};
    std::atomic<qintptr> connection{-1};
    std::thread thread;

    ThreadServer()
    {
        listener = platform::test::ListenLoopback(&port, 1);
        thread = std::thread([this] { run(); });
    }
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

// Sends `rounds` commands, each when the last one is complete; then leaves.
struct ThreadClient {
    QByteArray received;
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::atomic<qintptr> socket{-1};
    Finish finish;
    std::thread thread;

    ThreadClient(quint16 port, int rounds)
    {
        thread = std::thread([this, port, rounds] { run(port, rounds); });
    }
    ~ThreadClient()
    {
        if (socket >= 0)
            platform::test::ShutdownBoth(socket);
        thread.join();
    }
    void run(quint16 port, int rounds)
    {
        const qintptr fd = platform::test::ConnectLoopback(port, true);
        socket = fd;
        if (fd < 0) {
            failed = true;
        } else {
            char buf[4096];
            for (int round = 1; round <= rounds && !failed; ++round) {
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

} // namespace lockstep
