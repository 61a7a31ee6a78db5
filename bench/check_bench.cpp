// Protocol checker benchmark. Reports beside their targets:
//  - the checker's cost per line, fed in process (target <= 150 ns a line of
//    processor time; the wall time beside it shows how busy the machine was);
//  - torvane-check over a 10 M-line saved Torvane log: wall time (target
//    <= 10 s) and peak memory against a 1 M-line log (target: the same,
//    i.e. constant memory).
// Usage: check_bench [lines-in-process] [lines-in-file]

#include "check/protocolchecker.h"
#include "platform/testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace check;

namespace {

// One transaction of four lines, as a busy client and server produce them.
QByteArray Line(qint64 i, int part)
{
    const QByteArray tag = TagText(quint32(i % 99999 + 1));
    switch (part) {
    case 0:
        return tag + (i % 2 ? " Get(X(), Y(), Z())" : " GoTo(X(1.5), Y(2.5), Z(3.5))");
    case 1:
        return tag + " &";
    case 2:
        return i % 2 ? tag + " # X(1.50000), Y(2.50000), Z(3.50000)" : tag + " %";
    default:
        return tag + " %";
    }
}

bool WriteLog(const QString &path, qint64 lines)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray buf;
    buf.reserve(1 << 22);
    qint64 written = 0, ms = 0;
    for (qint64 i = 0; written < lines; ++i) {
        const int parts = i % 2 ? 4 : 3;
        for (int p = 0; p < parts && written < lines; ++p, ++written) {
            ms += 3;
            const qint64 t = ms % (24LL * 3600 * 1000);
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%02lld.%02lld.%02lld:%03lld  ", t / 3600000, t / 60000 % 60,
                          t / 1000 % 60, t % 1000);
            buf += stamp;
            buf += p == 0 ? ">>> " : "<<< ";
            buf += p == 2 && parts == 3 ? Line(i, 3) : Line(i, p);
            buf += "\r\n";
        }
        if (buf.size() > (1 << 22) - 256) {
            if (f.write(buf) != buf.size())
                return false;
            buf.clear();
        }
    }
    return f.write(buf) == buf.size();
}

struct ChildRun {
    double seconds = -1;
    long peakKb = -1;
    int status = -1;
};

// Runs the program on the file; peak memory from the child's own account.
ChildRun RunChild(const char *program, const QString &file)
{
    const platform::test::MeasuredRun m = platform::test::RunMeasured(
        QString::fromLocal8Bit(program), {QStringLiteral("--max-per-rule"), QStringLiteral("5"), file});
    ChildRun r;
    if (m.seconds < 0)
        return r;
    r.seconds = m.seconds;
    r.peakKb = long(m.peakKb);
    r.status = m.status;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 inProcess = argc > 1 ? std::atoll(argv[1]) : 4000000;
    const qint64 inFile = argc > 2 ? std::atoll(argv[2]) : 10000000;

    // 1. In process: the cost of feed() alone.
    {
        std::vector<QByteArray> lines;
        for (qint64 i = 0; i < 1000; ++i)
            for (int p = 0; p < 4; ++p)
                lines.push_back(i % 2 || p < 3 ? (p == 2 && i % 2 == 0 ? Line(i, 3) : Line(i, p))
                                               : QByteArray());
        ProtocolChecker c;
        qint64 fed = 0, t = 0;
        QElapsedTimer clock;
        clock.start();
        const std::clock_t cpu0 = std::clock();
        for (qint64 round = 0; fed < inProcess; ++round) {
            for (size_t k = 0; k < lines.size(); ++k) {
                if (lines[k].isEmpty())
                    continue;
                const Direction d = k % 4 == 0 ? Direction::ToServer : Direction::FromServer;
                c.feed(Leg::Operator, d, t += 1000, lines[k]);
                ++fed;
            }
        }
        const double cpuNs = double(std::clock() - cpu0) * 1e9 / CLOCKS_PER_SEC / double(fed);
        const double ns = double(clock.nsecsElapsed()) / double(fed);
        std::printf(
            "checker, in process: %lld lines, %.0f ns a line of processor time (target <= 150 ns) %s, "
            "%.0f ns wall; %lld findings\n",
            (long long)fed, cpuNs, cpuNs <= 150 ? "OK" : "MISSED", ns, (long long)c.findingCount());
    }

    // 2. Error lines that abort the pending commands, with and without
    // 9,999 event transactions open: the cost should not depend on them.
    for (const int events : {0, 9999}) {
        ProtocolChecker c;
        c.feed(Leg::Operator, Direction::ToServer, -1, "00001 StartSession()");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00001 &");
        c.feed(Leg::Operator, Direction::FromServer, -1, "00001 %");
        for (int e = 1; e <= events; ++e) {
            const QByteArray tag = TagText(quint32(100000 + e));
            c.feed(Leg::Operator, Direction::ToServer, -1, tag + " OnMoveReportE(Time(1), X())");
            c.feed(Leg::Operator, Direction::FromServer, -1, tag + " &");
        }
        const QByteArray error = "E0000 ! Error(3, 0500, GoTo, \"Emergency stop\")";
        constexpr int Errors = 200000;
        const std::clock_t cpu0 = std::clock();
        for (int i = 0; i < Errors; ++i)
            c.feed(Leg::Operator, Direction::FromServer, -1, error);
        const double cpuNs = double(std::clock() - cpu0) * 1e9 / CLOCKS_PER_SEC / Errors;
        std::printf("aborting error lines, %d event transactions open: %.0f ns a line of processor time\n",
                    events, cpuNs);
    }

    // 3. The program over saved logs.
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.log")),
                  big = dir.filePath(QStringLiteral("big.log"));
    if (!WriteLog(small, inFile / 10) || !WriteLog(big, inFile)) {
        std::fprintf(stderr, "cannot write the test logs in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const ChildRun a = RunChild(TORVANE_CHECK_BINARY, small);
    const ChildRun b = RunChild(TORVANE_CHECK_BINARY, big);
    std::printf("torvane-check, %lld lines: %.2f s, peak %ld KiB, exit %d\n", (long long)(inFile / 10),
                a.seconds, a.peakKb, a.status);
    std::printf("torvane-check, %lld lines: %.2f s (target <= 10 s) %s, %.0f ns a line, peak %ld KiB "
                "(target: as for %lld lines) %s, exit %d\n",
                (long long)inFile, b.seconds,
                b.seconds >= 0 && b.seconds <= 10.0 * double(inFile) / 1e7 ? "OK" : "MISSED",
                b.seconds * 1e9 / double(inFile), b.peakKb, (long long)(inFile / 10),
                b.peakKb <= a.peakKb * 11 / 10 + 1024 ? "OK" : "MISSED", b.status);
    return 0;
}
