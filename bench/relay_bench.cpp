// Round-trip latency and pipelined throughput of a client talking to a server
// directly and through Torvane's relay, in one run.
//
// The server and the client each run on a thread of their own with blocking
// sockets; the window runs on the main thread as in the program. The server
// answers every command with "tag &", one data line and "tag %".

#include <QCoreApplication>
#include <QFile>
#include <QProcessEnvironment>
#include <QDir>
#include <QTemporaryDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool writeAll(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Reads lines (LF-terminated, CR dropped) from a blocking socket.
struct LineReader {
    int fd;
    std::string buf;
    size_t pos = 0;
    bool next(std::string &line)
    {
        for (;;) {
            const size_t lf = buf.find('\n', pos);
            if (lf != std::string::npos) {
                line.assign(buf, pos, lf - pos);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                pos = lf + 1;
                if (pos > 65536) {
                    buf.erase(0, pos);
                    pos = 0;
                }
                return true;
            }
            char chunk[65536];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buf.append(chunk, size_t(n));
        }
    }
};

struct Server {
    int listenFd = -1;
    int port = 0;
    std::thread thread;

    void start()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(listenFd, 4);
        socklen_t len = sizeof a;
        getsockname(listenFd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listenFd, nullptr, nullptr);
                if (fd < 0)
                    return;
                noDelay(fd);
                LineReader in{fd};
                std::string line;
                while (in.next(line)) {
                    const std::string tag = line.substr(0, 5);
                    writeAll(fd,
                             tag + " &\r\n" + tag + " # X(1.000), Y(2.000), Z(3.000)\r\n" + tag + " %\r\n");
                }
                ::close(fd);
            }
        });
    }
    void stop()
    {
        ::shutdown(listenFd, SHUT_RDWR);
        ::close(listenFd);
        thread.join();
    }
};

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(quint16(port));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    noDelay(fd);
    return fd;
}

std::string command(int tag)
{
    char b[64];
    std::snprintf(b, sizeof b, "%05d Get(X(),Y(),Z())\r\n", tag % 100000);
    return b;
}

struct Result {
    double medianUs = 0, meanUs = 0, p99Us = 0, perSecond = 0;
};

Result measure(int port, int lockstep, int pipelined)
{
    Result r;
    const int fd = connectTo(port);
    if (fd < 0)
        return r;
    LineReader in{fd};
    std::string line;
    // Lock-step: one command, wait for its '%', the next.
    std::vector<double> rtt;
    for (int i = 0; i < lockstep + 50; ++i) {
        const auto t0 = Clock::now();
        writeAll(fd, command(i + 1));
        do {
            if (!in.next(line))
                return r;
        } while (line.size() < 7 || line[6] != '%');
        if (i >= 50) // warm-up left out
            rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(rtt.begin(), rtt.end());
    r.medianUs = rtt[rtt.size() / 2];
    r.p99Us = rtt[rtt.size() * 99 / 100];
    double sum = 0;
    for (double v : rtt)
        sum += v;
    r.meanUs = sum / double(rtt.size());

    // Pipelined: every command written at once by a writer thread, replies
    // read as they come; done at the last '%'.
    const auto t0 = Clock::now();
    std::thread writer([fd, lockstep, pipelined] {
        std::string batch;
        for (int i = 0; i < pipelined; ++i) {
            batch += command(lockstep + 100 + i);
            if (batch.size() > 16384) {
                writeAll(fd, batch);
                batch.clear();
            }
        }
        writeAll(fd, batch);
    });
    int done = 0;
    while (done < pipelined && in.next(line))
        if (line.size() >= 7 && line[6] == '%')
            ++done;
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    writer.join();
    r.perSecond = done / secs;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return r;
}

void print(const char *name, const Result &r)
{
    std::printf("%-8s %12.1f %12.1f %12.1f %16.0f\n", name, r.medianUs, r.meanUs, r.p99Us, r.perSecond);
}
// True when something listens on the loopback or any address at `port`
// (read from /proc, so that no probe connection is made: Torvane would take
// it for its relay client).
bool listening(int port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray hexPort = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() > 3 && cols[1].endsWith(":" + hexPort) && cols[3] == "0A")
            return true;
    }
    return false;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitListening(int port, QProcess &process)
{
    for (int i = 0; i < 400; ++i) {
        if (listening(port))
            return true;
        if (process.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(10);
    }
    return false;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lockstep = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int pipelined = argc > 2 ? std::atoi(argv[2]) : 200000;
    const QString torvane = QCoreApplication::applicationDirPath() + QStringLiteral("/../torvane");

    Server server;
    server.start();

    // The real program, offscreen, in a scratch folder with its settings
    // file: server port, relay port, the traffic log on as usual.
    QTemporaryDir scratch;
    const int relayPort = freePort();
    {
        QFile ini(scratch.filePath(QStringLiteral("Torvane.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write(QStringLiteral("[TCP/IP]\r\nHost=127.0.0.1\r\nPort=%1\r\n[RelayServer]\r\nPort=%2\r\n")
                      .arg(server.port)
                      .arg(relayPort)
                      .toLatin1());
    }
    QProcess program;
    program.setWorkingDirectory(scratch.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(torvane, {});
    if (!program.waitForStarted() || !waitListening(relayPort, program)) {
        std::fprintf(stderr, "relay_bench: %s did not start listening on %d\n", qPrintable(torvane),
                     relayPort);
        return 1;
    }

    // socat as a transparent relay, when it is installed.
    QProcess socat;
    int socatPort = 0;
    const QString socatPath = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (!socatPath.isEmpty()) {
        socatPort = freePort();
        socat.start(socatPath,
                    {QStringLiteral("TCP4-LISTEN:%1,bind=127.0.0.1,reuseaddr,nodelay").arg(socatPort),
                     QStringLiteral("TCP4:127.0.0.1:%1,nodelay").arg(server.port)});
        if (!socat.waitForStarted() || !waitListening(socatPort, socat))
            socatPort = 0;
    }

    const Result direct = measure(server.port, lockstep, pipelined);
    const Result relay = measure(relayPort, lockstep, pipelined);
    Result viaSocat;
    if (socatPort)
        viaSocat = measure(socatPort, lockstep, pipelined);

    std::printf("relay_bench: %d lock-step round trips, %d pipelined commands, loopback,\n"
                "each command answered by '&', '#', '%%'; Torvane with its window offscreen, log on\n\n",
                lockstep, pipelined);
    std::printf("%-8s %12s %12s %12s %16s\n", "path", "median us", "mean us", "p99 us", "pipelined cmd/s");
    print("direct", direct);
    print("torvane", relay);
    if (socatPort)
        print("socat", viaSocat);
    else
        std::printf("socat    (not installed)\n");
    std::printf("\n");
    if (socatPort)
        std::printf("torvane/socat:  latency %.2f x (target <= 1.0), throughput %.2f x\n",
                    relay.medianUs / viaSocat.medianUs, relay.perSecond / viaSocat.perSecond);
    std::printf("torvane/direct: latency %.2f x, throughput %.2f x\n", relay.medianUs / direct.medianUs,
                relay.perSecond / direct.perSecond);
    std::printf("torvane pipelined throughput %.0f commands/s (target >= 100000)\n", relay.perSecond);

    program.terminate();
    program.waitForFinished(5000);
    socat.kill();
    socat.waitForFinished();
    server.stop();
    return 0;
}
