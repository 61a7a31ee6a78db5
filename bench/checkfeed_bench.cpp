// The checker's cost per line on relayed traffic, fed in process the way the
// live inspector feeds it: the relay leg, a transaction handler, and a
// finding handler that mutes a rule after 200 findings. Deterministic, so
// that `valgrind --tool=callgrind checkfeed_bench` gives comparable
// instruction counts; the wall time it prints is only a hint on a busy
// machine.
//
// Traffic: "NNNNN Get(X(),Y(),Z())" answered by "NNNNN &",
// "NNNNN # X(1.000), Y(2.000), Z(3.000)" and "NNNNN %", tags cycling
// 1..99999. Pipelined: bursts of commands sent before any reply (each command
// after the first breaks the acknowledge rule), then their replies in order.
// Lock-step: each command answered before the next.
// Usage: checkfeed_bench [commands] [burst] [pipelined|lockstep|both]

#include "check/protocolchecker.h"

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace check;

namespace {

constexpr int MuteAfter = 200;

struct Lines {
    char command[40], ack[16], data[48], done[16];
    qsizetype commandSize, ackSize, dataSize, doneSize;

    void setTag(quint32 key)
    {
        char tag[5];
        for (int i = 4; i >= 0; --i, key /= 10)
            tag[i] = char('0' + key % 10);
        commandSize = put(command, tag, " Get(X(),Y(),Z())");
        ackSize = put(ack, tag, " &");
        dataSize = put(data, tag, " # X(1.000), Y(2.000), Z(3.000)");
        doneSize = put(done, tag, " %");
    }
    static qsizetype put(char *out, const char *tag, const char *rest)
    {
        std::memcpy(out, tag, 5);
        const size_t n = std::strlen(rest);
        std::memcpy(out + 5, rest, n);
        return qsizetype(5 + n);
    }
};

struct Run {
    qint64 lines = 0, findings = 0, passed = 0, events = 0;
    double nsPerLine = 0;
};

Run Feed(qint64 commands, int burst)
{
    ProtocolChecker checker;
    Run run;
    int perRule[RuleCount] = {};
    checker.setFindingHandler([&](const Finding &f) {
        ++run.passed;
        if (++perRule[size_t(f.rule)] >= MuteAfter)
            checker.setFindingDetail(f.rule, false);
    });
    qint64 lastKey = 0;
    checker.setTransactionHandler([&](TxnEvent e, const Transaction &t, qint64 position) {
        ++run.events;
        lastKey += t.key + quint32(e) + (position & 1);
    });
    checker.connectionReset(Leg::Relay, 0, StreamStart::InSession);

    std::vector<Lines> batch(static_cast<size_t>(burst));
    qint64 pos = 0, timeUs = 0;
    auto feed = [&](Direction dir, const char *text, qsizetype n) {
        checker.feed(Leg::Relay, dir, timeUs++, QByteArrayView(text, n), ++pos);
    };
    QElapsedTimer clock;
    clock.start();
    quint32 key = 0;
    for (qint64 sent = 0; sent < commands;) {
        const int n = int(qMin<qint64>(burst, commands - sent));
        for (int i = 0; i < n; ++i) {
            key = key % 99999 + 1;
            batch[size_t(i)].setTag(key);
            feed(Direction::ToServer, batch[size_t(i)].command, batch[size_t(i)].commandSize);
            if (burst == 1)
                break;
        }
        for (int i = 0; i < n; ++i) {
            const Lines &l = batch[size_t(i)];
            feed(Direction::FromServer, l.ack, l.ackSize);
            feed(Direction::FromServer, l.data, l.dataSize);
            feed(Direction::FromServer, l.done, l.doneSize);
        }
        sent += n;
    }
    checker.finish(++pos);
    const qint64 ns = clock.nsecsElapsed();
    run.lines = checker.linesFed();
    run.findings = checker.findingCount();
    run.nsPerLine = run.lines ? double(ns) / double(run.lines) : 0;
    if (lastKey == 42)
        std::printf(" ");
    return run;
}

void Report(const char *name, const Run &r, qint64 commands)
{
    std::printf("%-10s %lld commands, %lld lines: %.1f ns a line; %lld findings (%lld passed on), %lld "
                "transaction events\n",
                name, (long long)commands, (long long)r.lines, r.nsPerLine, (long long)r.findings,
                (long long)r.passed, (long long)r.events);
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 commands = argc > 1 ? std::atoll(argv[1]) : 20000;
    const int burst = argc > 2 ? std::atoi(argv[2]) : 700;
    const char *mode = argc > 3 ? argv[3] : "both";
    if (commands <= 0 || burst <= 0) {
        std::fprintf(stderr, "usage: checkfeed_bench [commands] [burst] [pipelined|lockstep|both]\n");
        return 2;
    }
    const bool both = std::strcmp(mode, "both") == 0;
    if (both || std::strcmp(mode, "pipelined") == 0)
        Report("pipelined", Feed(commands, burst), commands);
    if (both || std::strcmp(mode, "lockstep") == 0)
        Report("lock-step", Feed(commands, 1), commands);
    return 0;
}
