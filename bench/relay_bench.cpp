// Round-trip latency and pipelined throughput of a client talking to a server
// directly and through Torvane's relay, in one run.
//
// The server and the client each run on a thread of their own with blocking
// sockets; the window runs on the main thread as in the program. The server
// answers every command with "tag &", one data line and "tag %".

#include "platform/platform.h"
#include "platform/testsupport.h"

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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

bool writeAll(qintptr fd, const std::string &s)
{
    return platform::test::SendAll(fd, s.data(), qint64(s.size()));
}

// Reads lines (LF-terminated, CR dropped) from a blocking socket.
struct LineReader {
    qintptr fd;
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
            const qint64 n = platform::test::Receive(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buf.append(chunk, size_t(n));
        }
    }
};

std::atomic<int> benchCpu{-1}; // the processor the server's threads go to, -1 any

// Binds the thread `tid` (0: the calling one) to processor `cpu`.
void pinTo(qint64 tid, int cpu)
{
    platform::test::PinToProcessor(tid, cpu);
}

struct Server {
    qintptr listenFd = -1;
    int port = 0;
    std::thread thread;

    void start()
    {
        quint16 listening = 0;
        listenFd = platform::test::ListenLoopback(&listening);
        port = listening;
        // One thread per connection: each Torvane under test keeps a link.
        thread = std::thread([this] {
            for (;;) {
                const qintptr fd = platform::test::Accept(listenFd);
                if (fd < 0)
                    return;
                platform::test::SetNoDelay(fd);
                std::thread([fd] {
                    if (benchCpu >= 0)
                        pinTo(0, benchCpu);
                    // Every command in what one read brings is answered in one
                    // write, so that the server is not what limits a pipelined run.
                    std::string pending, replies;
                    char chunk[65536];
                    for (;;) {
                        const qint64 n = platform::test::Receive(fd, chunk, sizeof chunk);
                        if (n <= 0)
                            break;
                        pending.append(chunk, size_t(n));
                        size_t pos = 0;
                        for (size_t lf; (lf = pending.find('\n', pos)) != std::string::npos; pos = lf + 1) {
                            const std::string tag = pending.substr(pos, 5);
                            replies +=
                                tag + " &\r\n" + tag + " # X(1.000), Y(2.000), Z(3.000)\r\n" + tag + " %\r\n";
                        }
                        pending.erase(0, pos);
                        if (!replies.empty() && !writeAll(fd, replies))
                            break;
                        replies.clear();
                    }
                    platform::CloseSocket(fd);
                }).detach();
            }
        });
    }
    void stop()
    {
        platform::test::ShutdownBoth(listenFd);
        platform::CloseSocket(listenFd);
        thread.join();
    }
};

qintptr connectTo(int port)
{
    return platform::test::ConnectLoopback(quint16(port), true);
}

std::string command(int tag)
{
    char b[64];
    std::snprintf(b, sizeof b, "%05d Get(X(),Y(),Z())\r\n", tag % 100000);
    return b;
}

struct Result {
    double medianUs = 0, meanUs = 0, p99Us = 0, perSecond = 0;
    double cpuUs = -1; // the relay's processor time per lock-step round trip, -1 unknown
    double pipelinedCpuUs = -1; // and per pipelined command
};

// The processor time (user and system) process `pid` and its children that
// still run (socat forks one per connection) have used, in us; -1 when it
// can't be read.
double cpuTimeUs(qint64 pid)
{
    if (pid <= 0)
        return -1;
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    double childUs = 0;
    if (children.open(QIODevice::ReadOnly))
        for (const QByteArray &c : children.readAll().simplified().split(' '))
            if (!c.isEmpty())
                childUs += qMax(0.0, cpuTimeUs(c.toLongLong()));
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // The fields after the command name, which is in brackets and may hold blanks.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong()); // utime, stime
    return childUs + ticks * 1e6 / platform::test::ClockTicksPerSecond();
}

// One client session: lock-step round trips, then a pipelined run. A relay
// that is still closing the previous session turns a new client away: such a
// refusal (the first reply doesn't come) is retried.
Result measureOnce(int port, qint64 relayPid, int lockstep, int pipelined, bool *refused)
{
    Result r;
    double cpuBefore = -1;
    *refused = false;
    const qintptr fd = connectTo(port);
    if (fd < 0) {
        *refused = true;
        return r;
    }
    LineReader in{fd};
    std::string line;
    // Lock-step: one command, wait for its '%', the next.
    std::vector<double> rtt;
    for (int i = 0; i < lockstep + 50; ++i) {
        const auto t0 = Clock::now();
        writeAll(fd, command(i + 1));
        do {
            if (!in.next(line)) {
                *refused = i == 0;
                platform::CloseSocket(fd);
                return r;
            }
        } while (line.size() < 7 || line[6] != '%');
        if (i >= 50) // warm-up left out
            rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (i == 49)
            cpuBefore = cpuTimeUs(relayPid);
    }
    const double cpuAfter = cpuTimeUs(relayPid);
    if (cpuBefore >= 0 && cpuAfter >= 0)
        r.cpuUs = (cpuAfter - cpuBefore) / double(lockstep);
    std::sort(rtt.begin(), rtt.end());
    r.medianUs = rtt[rtt.size() / 2];
    r.p99Us = rtt[rtt.size() * 99 / 100];
    double sum = 0;
    for (double v : rtt)
        sum += v;
    r.meanUs = sum / double(rtt.size());

    // Pipelined: every command written at once by a writer thread, replies
    // read as they come; done at the last '%'.
    const double pipelinedCpuBefore = cpuTimeUs(relayPid);
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
    const double pipelinedCpuAfter = cpuTimeUs(relayPid);
    if (pipelinedCpuBefore >= 0 && pipelinedCpuAfter >= 0 && done > 0)
        r.pipelinedCpuUs = (pipelinedCpuAfter - pipelinedCpuBefore) / double(done);
    platform::test::ShutdownBoth(fd);
    platform::CloseSocket(fd);
    return r;
}

Result measure(int port, qint64 relayPid, int lockstep, int pipelined)
{
    bool refused = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const Result r = measureOnce(port, relayPid, lockstep, pipelined, &refused);
        if (!refused)
            return r;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Result();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The per-round results of one path, summed up as medians over the rounds.
Result medianOf(const std::vector<Result> &rounds)
{
    std::vector<double> med, mean, p99, rate, cpu, pipelinedCpu;
    for (const Result &r : rounds) {
        med.push_back(r.medianUs);
        mean.push_back(r.meanUs);
        p99.push_back(r.p99Us);
        rate.push_back(r.perSecond);
        cpu.push_back(r.cpuUs);
        pipelinedCpu.push_back(r.pipelinedCpuUs);
    }
    return Result{median(med), median(mean), median(p99), median(rate), median(cpu), median(pipelinedCpu)};
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

// The real program, offscreen, in a scratch folder with its settings file:
// server port, relay port, the traffic log on as usual; the live checker on
// or off.
struct Program {
    QTemporaryDir scratch;
    QProcess process;
    int relayPort = 0;

    bool start(const QString &path, int serverPort, bool checking)
    {
        relayPort = freePort();
        QFile ini(scratch.filePath(QStringLiteral("Torvane.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        QString text = QStringLiteral("[TCP/IP]\r\nHost=127.0.0.1\r\nPort=%1\r\n[RelayServer]\r\nPort=%2\r\n")
                           .arg(serverPort)
                           .arg(relayPort);
        if (!checking)
            text += QStringLiteral("[Inspector]\r\nLive=0\r\n");
        ini.write(text.toLatin1());
        ini.close();
        process.setWorkingDirectory(scratch.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(path, {});
        if (process.waitForStarted() && waitListening(relayPort, process))
            return true;
        std::fprintf(stderr, "relay_bench: %s did not start listening on %d\n", qPrintable(path), relayPort);
        return false;
    }
    // torvane-tap between the same peers, logging to a file and checking.
    bool startTap(const QString &path, int serverPort)
    {
        relayPort = freePort();
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(path,
                      {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(relayPort),
                       QStringLiteral("--server"), QStringLiteral("127.0.0.1:%1").arg(serverPort),
                       QStringLiteral("--log"), scratch.filePath(QStringLiteral("tap.log")),
                       QStringLiteral("--quiet")});
        if (process.waitForStarted() && waitListening(relayPort, process))
            return true;
        std::fprintf(stderr, "relay_bench: %s did not start listening on %d\n", qPrintable(path), relayPort);
        return false;
    }
    ~Program()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
};
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lockstep = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int pipelined = argc > 2 ? std::atoi(argv[2]) : 200000;
    const int rounds = argc > 3 ? qMax(1, std::atoi(argv[3])) : 5;
    const QString torvane = QCoreApplication::applicationDirPath() + QStringLiteral("/../torvane");
    const QString torvaneTap =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/torvane-tap");

    const bool pinning = qEnvironmentVariableIsEmpty("RELAY_BENCH_NO_PINNING");
    Server server;
    server.start();

    Program checking, plain, tap;
    if (!checking.start(torvane, server.port, true) || !plain.start(torvane, server.port, false)
        || !tap.startTap(torvaneTap, server.port))
        return 1;
    // Another build of the window, measured in the same rounds: a change
    // and the program before it, side by side.
    const QString other = qEnvironmentVariable("RELAY_BENCH_OTHER");
    Program otherChecking, otherPlain;
    if (!other.isEmpty()
        && (!otherChecking.start(other, server.port, true) || !otherPlain.start(other, server.port, false)))
        return 1;

    // socat as a transparent relay, when it is installed.
    QProcess socat;
    int socatPort = 0;
    const QString socatPath = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (!socatPath.isEmpty()) {
        socatPort = freePort();
        socat.start(socatPath,
                    {QStringLiteral("TCP4-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,nodelay").arg(socatPort),
                     QStringLiteral("TCP4:127.0.0.1:%1,nodelay").arg(server.port)});
        if (!socat.waitForStarted() || !waitListening(socatPort, socat))
            socatPort = 0;
    }

    // With two processors or more, the relays (both Torvanes, socat) run on
    // one and the bench's client and server on another: every path then
    // crosses between the same two processors, however the system would
    // have placed them.
    const bool pinned = pinning && std::thread::hardware_concurrency() >= 2;
    if (pinned) {
        for (qint64 pid :
             {checking.process.processId(), plain.process.processId(), tap.process.processId(),
              otherChecking.process.processId(), otherPlain.process.processId(), socat.processId()})
            if (pid > 0)
                pinTo(pid, 1);
        pinTo(0, 0); // this thread, and the client's writer threads made from it
        benchCpu = 0; // the server's connection threads
    }

    // The paths take turns, round by round, so that a change of load on the
    // machine falls on all of them alike; each round starts one path further
    // on, so that none always runs right after another one's pipelined run.
    std::vector<Result> direct, on, off, viaTap, viaSocat, otherOn, otherOff;
    struct Path {
        const char *name;
        int port;
        qint64 relayPid;
        std::vector<Result> *results;
    };
    std::vector<Path> paths = {{"direct", server.port, 0, &direct},
                               {"torvane check", checking.relayPort, checking.process.processId(), &on},
                               {"torvane plain", plain.relayPort, plain.process.processId(), &off},
                               {"torvane-tap", tap.relayPort, tap.process.processId(), &viaTap}};
    if (!other.isEmpty()) {
        paths.push_back(
            {"other check", otherChecking.relayPort, otherChecking.process.processId(), &otherOn});
        paths.push_back({"other plain", otherPlain.relayPort, otherPlain.process.processId(), &otherOff});
    }
    if (socatPort)
        paths.push_back({"socat", socatPort, socat.processId(), &viaSocat});
    for (int round = 0; round < rounds; ++round) {
        // Each run's figures go to stderr as they come, the table to stdout.
        for (size_t i = 0; i < paths.size(); ++i) {
            const Path &p = paths[(size_t(round) + i) % paths.size()];
            p.results->push_back(measure(p.port, p.relayPid, lockstep, pipelined));
            std::fprintf(stderr, "relay_bench: round %d, %-13s median %6.1f us, %9.0f cmd/s\n", round + 1,
                         p.name, p.results->back().medianUs, p.results->back().perSecond);
        }
    }
    const Result d = medianOf(direct), t = medianOf(on), u = medianOf(off), k = medianOf(viaTap),
                 s = medianOf(viaSocat);

    std::printf(
        "relay_bench: %d lock-step round trips and %d pipelined commands a run, loopback,\n"
        "each command answered by '&', '#', '%%'; Torvane with its window offscreen, log on;\n"
        "torvane-tap logging to a file and checking;\n"
        "%s"
        "medians over %d interleaved rounds of direct, Torvane checking, Torvane not checking,\n"
        "torvane-tap, socat (and RELAY_BENCH_OTHER's build of Torvane, when set);\n"
        "relay cpu: the relay process's processor time per lock-step round trip, and per\n"
        "pipelined command (less swayed by other load than the throughput)\n\n",
        lockstep, pipelined,
        pinned ? "relays on processor 1, bench client and server on processor 0 (RELAY_BENCH_NO_PINNING=1: "
                 "unpinned);\n"
               : "not pinned to processors;\n",
        rounds);
    std::printf("%-14s %10s %10s %10s %16s %14s %16s\n", "path", "median us", "mean us", "p99 us",
                "pipelined cmd/s", "relay cpu us", "pipelined cpu us");
    const auto row = [](const char *name, const Result &r) {
        std::printf("%-14s %10.1f %10.1f %10.1f %16.0f", name, r.medianUs, r.meanUs, r.p99Us, r.perSecond);
        if (r.cpuUs >= 0)
            std::printf(" %14.1f %16.2f\n", r.cpuUs, r.pipelinedCpuUs);
        else
            std::printf(" %14s %16s\n", "-", "-");
    };
    row("direct", d);
    row("torvane check", t);
    row("torvane plain", u);
    row("torvane-tap", k);
    if (!other.isEmpty()) {
        row("other check", medianOf(otherOn));
        row("other plain", medianOf(otherOff));
    }
    if (socatPort)
        row("socat", s);
    else
        std::printf("socat          (not installed)\n");
    std::printf("\n");
    if (socatPort) {
        std::printf("torvane/socat, checking:     latency %.2f x (target <= 1.0), throughput %.2f x\n",
                    t.medianUs / s.medianUs, t.perSecond / s.perSecond);
        std::printf("torvane/socat, not checking: latency %.2f x, throughput %.2f x\n",
                    u.medianUs / s.medianUs, u.perSecond / s.perSecond);
    }
    if (socatPort)
        std::printf("torvane-tap/socat:           latency %.2f x (target <= 1.0), throughput %.2f x\n",
                    k.medianUs / s.medianUs, k.perSecond / s.perSecond);
    std::printf("torvane pipelined throughput, checking: %.0f commands/s (target >= 200000), "
                "%.2f x not checking (target >= 0.75), by processor time %.2f x\n",
                t.perSecond, t.perSecond / u.perSecond,
                t.pipelinedCpuUs > 0 ? u.pipelinedCpuUs / t.pipelinedCpuUs : 0.0);
    std::printf("torvane-tap pipelined throughput, checking: %.0f commands/s (target >= 300000)\n",
                k.perSecond);

    socat.kill();
    socat.waitForFinished();
    server.stop();
    return 0;
}
