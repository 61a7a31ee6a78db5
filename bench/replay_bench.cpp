// Server replay against the demo server, side by side in one run: the
// lock-step round trip of a client on loopback to torvane-demo-server and to
// torvane-replay serving a recording of the same answers at --speed 0. Then
// a long recording (1 M transactions by default): the time to read it all
// and the peak memory of serving it to a pipelining client.
//
//     replay_bench [ROUND_TRIPS] [LONG_TRANSACTIONS]

#include "platform/platform.h"
#include "platform/testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Lines {
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

std::string Tag(int i)
{
    char t[8];
    std::snprintf(t, sizeof t, "%05d", i % 99999 + 1);
    return t;
}

// Sends one command and reads to its '%'; the lines come back in `reply`.
bool RoundTrip(qintptr fd, Lines &in, const std::string &tag, const std::string &command,
               std::vector<std::string> *reply)
{
    const std::string line = tag + ' ' + command + "\r\n";
    if (!platform::test::SendAll(fd, line.data(), qint64(line.size())))
        return false;
    std::string l;
    while (in.next(l)) {
        if (reply)
            reply->push_back(l);
        if (l.size() >= 7 && l.compare(0, 5, tag) == 0 && l[6] == '%')
            return true;
    }
    return false;
}

// A program that prints the port it took.
struct Child {
    QProcess p;
    quint16 port = 0;
    bool start(const QString &program, const QStringList &args, const char *pattern)
    {
        p.start(program, args);
        if (!p.waitForStarted())
            return false;
        const QRegularExpression re{QLatin1String(pattern)};
        QByteArray seen;
        for (int i = 0; i < 100 && port == 0; ++i) {
            p.waitForReadyRead(100);
            seen += p.readAllStandardOutput() + p.readAllStandardError();
            const QRegularExpressionMatch m = re.match(QString::fromLatin1(seen));
            if (m.hasMatch())
                port = quint16(m.captured(1).toUInt());
        }
        return port != 0;
    }
    ~Child()
    {
        p.terminate();
        if (!p.waitForFinished(3000))
            p.kill();
        p.waitForFinished();
    }
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int trips = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    const int longCount = argc > 2 ? std::max(1000, std::atoi(argv[2])) : 1000000;
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/");
    const QString demoBin = dir + QStringLiteral("torvane-demo-server");
    const QString replayBin = dir + QStringLiteral("torvane-replay");
    QTemporaryDir tmp;
    const std::string command = "Get(X(), Y(), Z())";

    // The recording: the demo server's answers, as a transcript.
    Child demo;
    if (!demo.start(demoBin, {QStringLiteral("--port"), QStringLiteral("0")}, "127\\.0\\.0\\.1:(\\d+)")) {
        std::fprintf(stderr, "replay_bench: cannot start %s\n", qPrintable(demoBin));
        return 2;
    }
    const QString recording = tmp.filePath(QStringLiteral("lockstep.txt"));
    {
        QFile f(recording);
        f.open(QIODevice::WriteOnly);
        const qintptr fd = platform::test::ConnectLoopback(demo.port, true);
        Lines in{fd};
        std::string text;
        for (int i = 0; i < trips; ++i) {
            std::vector<std::string> reply;
            if (!RoundTrip(fd, in, Tag(i), command, &reply))
                return 2;
            text += "C: " + Tag(i) + ' ' + command + '\n';
            for (const std::string &l : reply)
                text += "S: " + l + '\n';
        }
        platform::CloseSocket(fd);
        f.write(text.data(), qint64(text.size()));
    }
    Child serve;
    if (!serve.start(replayBin,
                     {QStringLiteral("serve"), recording, QStringLiteral("--listen"),
                      QStringLiteral("127.0.0.1:0"), QStringLiteral("--speed"), QStringLiteral("0"),
                      QStringLiteral("--quiet")},
                     "listening on port (\\d+)"))
        return 2;

    // Side by side: rounds of 1,000 round trips to each in turn.
    const qintptr toDemo = platform::test::ConnectLoopback(demo.port, true);
    const qintptr toReplay = platform::test::ConnectLoopback(serve.port, true);
    Lines demoIn{toDemo}, replayIn{toReplay};
    std::vector<double> demoUs, replayUs;
    for (int done = 0; done < trips; done += 1000) {
        for (int side = 0; side < 2; ++side) {
            const qintptr fd = side ? toReplay : toDemo;
            Lines &in = side ? replayIn : demoIn;
            const auto t0 = Clock::now();
            const int n = std::min(1000, trips - done);
            for (int i = done; i < done + n; ++i)
                if (!RoundTrip(fd, in, Tag(i), command, nullptr))
                    return 2;
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
            (side ? replayUs : demoUs).push_back(us);
        }
    }
    platform::CloseSocket(toDemo);
    platform::CloseSocket(toReplay);
    const double d = Median(demoUs), r = Median(replayUs);
    std::printf("lock-step round trip, median of rounds of 1000 (%d in all):\n"
                "  torvane-demo-server        %8.1f us\n"
                "  torvane-replay --speed 0   %8.1f us   (%.2f x the demo server's)\n",
                trips, d, r, r / d);

    // The long recording.
    const QString longFile = tmp.filePath(QStringLiteral("long.txt"));
    {
        QFile f(longFile);
        f.open(QIODevice::WriteOnly);
        std::string chunk;
        for (int i = 0; i < longCount; ++i) {
            const std::string t = Tag(i);
            chunk += "C: " + t + " Get(X())\nS: " + t + " &\nS: " + t + " # X(" + std::to_string(i)
                + ")\nS: " + t + " %\n";
            if (chunk.size() > (1 << 20)) {
                f.write(chunk.data(), qint64(chunk.size()));
                chunk.clear();
            }
        }
        f.write(chunk.data(), qint64(chunk.size()));
        std::printf("long recording: %d transactions, %.1f MB\n", longCount, double(f.size()) / 1e6);
    }
    // Streamed: ready to serve once the start is read.
    {
        const auto t0 = Clock::now();
        Child ready;
        if (ready.start(replayBin,
                        {QStringLiteral("serve"), longFile, QStringLiteral("--listen"),
                         QStringLiteral("127.0.0.1:0"), QStringLiteral("--speed"), QStringLiteral("0")},
                        "listening on port (\\d+)"))
            std::printf("  ready to serve (start to port):   %.3f s\n",
                        std::chrono::duration<double>(Clock::now() - t0).count());
    }
    // Read to its end: --dry-run lists every command it would send.
    const platform::test::MeasuredRun read = platform::test::RunMeasured(
        replayBin, {QStringLiteral("client"), longFile, QStringLiteral("--dry-run")});
    std::printf("  read through (client --dry-run):  %.2f s, peak %lld KB, status %d\n", read.seconds,
                (long long)read.peakKb, read.status);

    // Served to a client that keeps 100 commands in flight.
    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }
    std::thread client([port, longCount] {
        qintptr fd = -1;
        for (int i = 0; i < 500 && fd < 0; ++i) {
            fd = platform::test::ConnectLoopback(port, true);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fd < 0)
            return;
        Lines in{fd};
        std::string l;
        for (int done = 0; done < longCount; done += 100) {
            std::string batch;
            const int n = std::min(100, longCount - done);
            for (int i = done; i < done + n; ++i)
                batch += Tag(i) + " Get(X())\r\n";
            platform::test::SendAll(fd, batch.data(), qint64(batch.size()));
            for (int got = 0; got < n && in.next(l);)
                if (l.size() >= 7 && l[6] == '%')
                    ++got;
        }
        platform::CloseSocket(fd);
    });
    const platform::test::MeasuredRun served =
        platform::test::RunMeasured(replayBin,
                                    {QStringLiteral("serve"), longFile, QStringLiteral("--listen"),
                                     QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--speed"),
                                     QStringLiteral("0"), QStringLiteral("--quiet")});
    client.join();
    std::printf("  served to a pipelining client:    %.2f s, peak %lld KB, status %d\n", served.seconds,
                (long long)served.peakKb, served.status);
    return 0;
}
