// Wireshark dissector benchmark: tshark over a capture of 100,000 I++ DME
// lines (one line a TCP segment, as lock-step traffic sends them), without
// and with the dissector, side by side. Target: with it at most 3 x without.
// The target is judged on processor time, which a busy machine disturbs
// less than the wall time.
// Usage: dissector_bench [lines]

#include "platform/testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// One transaction of four lines, as a busy client and server produce them.
QByteArray Line(qint64 i, int part, bool *client)
{
    const QByteArray tag = QByteArray::number(i % 99999 + 1).rightJustified(5, '0');
    *client = part == 0;
    switch (part) {
    case 0:
        return tag + (i % 2 ? " Get(X(), Y(), Z())\r\n" : " GoTo(X(1.5), Y(2.5), Z(3.5))\r\n");
    case 1:
        return tag + " &\r\n";
    case 2:
        return i % 2 ? tag + " # X(1.50000), Y(2.50000), Z(3.50000)\r\n"
                     : tag + " ! Error(1, 0504, GoTo, \"Argument out of range\")\r\n";
    default:
        return tag + " %\r\n";
    }
}

struct Best {
    double wall = -1, cpu = -1;
    void add(const platform::test::MeasuredRun &r)
    {
        wall = wall < 0 ? r.seconds : std::min(wall, r.seconds);
        cpu = cpu < 0 ? r.cpuSeconds : std::min(cpu, r.cpuSeconds);
    }
};

platform::test::MeasuredRun Tshark(const QString &tshark, const QString &pcap, const QStringList &extra)
{
    const platform::test::MeasuredRun r =
        platform::test::RunMeasured(tshark, QStringList{QStringLiteral("-r"), pcap} + extra);
    if (r.status != 0) {
        std::fprintf(stderr, "tshark failed\n");
        std::exit(1);
    }
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 lines = argc > 1 ? std::atoll(argv[1]) : 100000;
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    const QString text2pcap = QStandardPaths::findExecutable(QStringLiteral("text2pcap"));
    if (tshark.isEmpty() || text2pcap.isEmpty()) {
        std::fprintf(stderr, "dissector_bench needs tshark and text2pcap (apt-get install tshark)\n");
        return 1;
    }
    QTemporaryDir dir;
    QFile dump(dir.filePath(QStringLiteral("dump.txt")));
    if (!dump.open(QIODevice::WriteOnly))
        return 1;
    QByteArray chunk;
    for (qint64 n = 0; n < lines; ++n) {
        bool client = false;
        const QByteArray line = Line(n / 4, int(n % 4), &client);
        const qint64 us = n * 250;
        chunk += QByteArray(client ? "I " : "O ")
            + "10:" + QByteArray::number(us / 60000000 % 60).rightJustified(2, '0') + ':'
            + QByteArray::number(us / 1000000 % 60).rightJustified(2, '0') + '.'
            + QByteArray::number(us % 1000000).rightJustified(6, '0') + '\n';
        for (int i = 0; i < line.size(); i += 16) {
            chunk += QByteArray::number(i, 16).rightJustified(6, '0');
            for (int j = i; j < qMin(i + 16, int(line.size())); ++j)
                chunk += ' ' + QByteArray::number(uchar(line[j]), 16).rightJustified(2, '0');
            chunk += '\n';
        }
        chunk += '\n';
        if (chunk.size() > (1 << 20)) {
            dump.write(chunk);
            chunk.clear();
        }
    }
    dump.write(chunk);
    dump.close();
    const QString pcap = dir.filePath(QStringLiteral("bench.pcapng"));
    QProcess make;
    make.start(text2pcap,
               {QStringLiteral("-q"), QStringLiteral("-D"), QStringLiteral("-t"),
                QStringLiteral("%H:%M:%S.%f"), QStringLiteral("-T"), QStringLiteral("50000,1294"),
                QStringLiteral("-4"), QStringLiteral("10.0.0.1,10.0.0.2"), dump.fileName(), pcap});
    if (!make.waitForFinished(-1) || make.exitCode() != 0) {
        std::fprintf(stderr, "text2pcap failed: %s\n", make.readAllStandardError().constData());
        return 1;
    }
    // No plugins of the user's: an installed copy of the dissector would run
    // in both measurements.
    qputenv("HOME", QFile::encodeName(dir.path()));
    qunsetenv("XDG_CONFIG_HOME");
    const QString lua = QStringLiteral("lua_script:") + QStringLiteral(DISSECTOR_LUA);
    // Side by side, in turns: the best of five each, wall and processor time.
    Best without, with, twoPass;
    for (int i = 0; i < 5; ++i) {
        without.add(Tshark(tshark, pcap, {}));
        with.add(Tshark(tshark, pcap, {QStringLiteral("-X"), lua}));
    }
    twoPass.add(Tshark(tshark, pcap, {QStringLiteral("-2"), QStringLiteral("-X"), lua}));
    std::printf("dissector: %lld lines, one a segment (%.1f MB capture); wall and processor time\n",
                static_cast<long long>(lines), double(QFile(pcap).size()) / 1e6);
    std::printf("  tshark -r F             %7.2f s  %7.2f s\n", without.wall, without.cpu);
    std::printf("  tshark -r F, dissector  %7.2f s  %7.2f s  (%.2f x, %.2f x; target <= 3 x)\n", with.wall,
                with.cpu, with.wall / without.wall, with.cpu / without.cpu);
    std::printf("  the same, two passes    %7.2f s  %7.2f s  (%.2f x, %.2f x)\n", twoPass.wall, twoPass.cpu,
                twoPass.wall / without.wall, twoPass.cpu / without.cpu);
    // Processor time: the machine may be shared, which the wall time shows.
    return with.cpu <= 3 * without.cpu ? 0 : 2;
}
