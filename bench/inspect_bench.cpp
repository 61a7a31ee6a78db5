// The live inspector under load, by hand (make bench): what a line costs to
// feed, the longest event-loop stall with the inspector window open while
// events arrive at 10,000 a second (replies for tags never sent, commands
// that never complete, ordinary transactions), the ladder's repaint at
// 100,000 transactions, and the memory it takes.
//   inspect_bench [seconds of the 10,000/s run, default 5]
//   INSPECT_BENCH_BURST=n   commands a burst in the pipelined feed (100)
//   INSPECT_BENCH_TRACE=1   prints each new longest stall as it happens

#include "inspect/inspectormodels.h"
#include "inspect/inspectorwindow.h"
#include "inspect/liveinspector.h"
#include "inspect/timeline.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QScrollBar>
#include <QWheelEvent>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using check::Direction;
using check::Leg;

namespace {

qint64 statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// A line as the window hands it over: the bytes off the socket.
QByteArray tagged(int n, const char *rest)
{
    return QByteArray::number(n % 99999 + 1).rightJustified(5, '0') + ' ' + rest;
}

// One lock-step transaction, four lines.
void transaction(inspect::LiveInspector &ins, Leg leg, int n, int &logLine)
{
    const QByteArray cmd = tagged(n, "Get(X(), Y(), Z())");
    ins.feed(leg, Direction::ToServer, cmd, false, logLine++);
    const QByteArray ack = tagged(n, "&"), data = tagged(n, "# X(1.0), Y(2.0), Z(3.0)"),
                     done = tagged(n, "%");
    ins.feed(leg, Direction::FromServer, ack, false, logLine++);
    ins.feed(leg, Direction::FromServer, data, false, logLine++);
    ins.feed(leg, Direction::FromServer, done, false, logLine++);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 5;

    // 1. Feed cost, lines pre-made so that only the feed is timed.
    {
        inspect::LiveInspector ins;
        constexpr int N = 250000;
        QVector<QByteArray> lines;
        lines.reserve(4 * N);
        for (int i = 0; i < N; ++i) {
            lines << tagged(i, "Get(X(), Y(), Z())") << tagged(i, "&")
                  << tagged(i, "# X(1.0), Y(2.0), Z(3.0)") << tagged(i, "%");
        }
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < lines.size(); ++i)
            ins.feed(Leg::Relay, i % 4 ? Direction::FromServer : Direction::ToServer, lines[i], false, i);
        const double ns = double(t.nsecsElapsed()) / lines.size();
        std::printf("feed, lock-step traffic:   %7.0f ns a line (%lld lines, %llu transactions kept)\n", ns,
                    qint64(lines.size()), ins.completedEnd() - ins.completedBegin());
    }

    // 1b. Pipelined traffic: bursts of 100 commands, then their replies.
    {
        inspect::LiveInspector ins;
        const int N = 200000,
                  Burst = qEnvironmentVariableIntValue("INSPECT_BENCH_BURST") > 0
            ? qEnvironmentVariableIntValue("INSPECT_BENCH_BURST")
            : 100;
        QVector<QByteArray> lines;
        QVector<bool> toServer;
        lines.reserve(4 * N);
        for (int b = 0; b < N; b += Burst) {
            for (int i = b; i < b + Burst; ++i) {
                lines << tagged(i, "Get(X(), Y(), Z())");
                toServer << true;
            }
            for (int i = b; i < b + Burst; ++i) {
                lines << tagged(i, "&") << tagged(i, "# X(1.0), Y(2.0), Z(3.0)") << tagged(i, "%");
                toServer << false << false << false;
            }
        }
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < lines.size(); ++i)
            ins.feed(Leg::Relay, toServer[i] ? Direction::ToServer : Direction::FromServer, lines[i], false,
                     i);
        const double ns = double(t.nsecsElapsed()) / lines.size();
        std::printf("feed, pipelined traffic:   %7.0f ns a line (%lld findings)\n", ns, ins.findingCount());
        // The checker alone on the same bytes, for comparison.
        const QVector<QByteArray> &bytes = lines;
        check::ProtocolChecker alone;
        t.restart();
        for (int i = 0; i < bytes.size(); ++i)
            alone.feed(Leg::Relay, toServer[i] ? Direction::ToServer : Direction::FromServer, 0, bytes[i]);
        std::printf("  the checker alone:       %7.0f ns a line\n", double(t.nsecsElapsed()) / bytes.size());
    }

    // 1c. The ladder at 100,000 transactions: pipelined in tens, so that
    // rows overlap, and some left open.
    {
        inspect::LiveInspector lins;
        int line = 0;
        for (int b = 0; lins.completedEnd() < quint64(inspect::LiveInspector::MaxCompleted); b += 10) {
            for (int i = b; i < b + 10; ++i)
                lins.feed(Leg::Relay, Direction::ToServer, tagged(i, "Get(X(), Y(), Z())"), false, line++);
            for (int i = b; i < b + 10; ++i) {
                lins.feed(Leg::Relay, Direction::FromServer, tagged(i, "&"), false, line++);
                lins.feed(Leg::Relay, Direction::FromServer, tagged(i, "%"), false, line++);
            }
        }
        for (int i = 0; i < 200; ++i)
            lins.feed(Leg::Operator, Direction::ToServer, tagged(i, "GoTo(X(1))"), false, line++);
        inspect::TimelineView view(&lins);
        view.resize(1200, 700);
        view.show();
        QElapsedTimer t;
        t.start();
        view.ladder().update();
        const double buildMs = double(t.nsecsElapsed()) / 1e6;
        const auto repaints = [&](const char *what) {
            std::vector<double> ms;
            for (int i = 0; i < 60; ++i) {
                t.restart();
                const QPixmap shot = view.grab(); // the paint event, as on screen
                ms.push_back(double(t.nsecsElapsed()) / 1e6);
            }
            std::sort(ms.begin(), ms.end());
            const double p95 = ms[ms.size() * 95 / 100];
            std::printf(
                "ladder repaint, %-28s median %5.2f ms, 95th %5.2f ms, max %5.2f ms (target 16): %s\n", what,
                ms[ms.size() / 2], p95, ms.back(), p95 <= 16 ? "ok" : "OVER");
        };
        std::printf("ladder of %d transactions: built in %.1f ms\n", view.ladder().count(), buildMs);
        repaints("newest rows, fitted:");
        view.findChild<QScrollBar *>()->setValue(view.ladder().count() / 2);
        repaints("middle rows, fitted:");
        QWheelEvent wheel(QPointF(700, 300), QPointF(700, 300), QPoint(), QPoint(0, -1200), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &wheel);
        repaints("middle rows, zoomed out:");
        // New traffic: the ladder follows what came since.
        for (int i = 0; i < 100; ++i) {
            lins.feed(Leg::Relay, Direction::ToServer, tagged(i, "Home()"), false, line++);
            lins.feed(Leg::Relay, Direction::FromServer, tagged(i, "&"), false, line++);
            lins.feed(Leg::Relay, Direction::FromServer, tagged(i, "%"), false, line++);
        }
        t.restart();
        view.grab();
        std::printf("ladder repaint after 100 new transactions (the ring full): %.2f ms\n",
                    double(t.nsecsElapsed()) / 1e6);
    }

    const qint64 rssBefore = statusKb("VmRSS:");
    // 2. The window open while events arrive at 10,000 a second.
    // The window opens on a full ring of completed transactions, so that
    // each batch both adds rows at the top and drops them at the bottom.
    inspect::LiveInspector ins;
    int logLine = 0, n = 0, stray = 0, open = 0;
    while (ins.completedEnd() - ins.completedBegin() < quint64(inspect::LiveInspector::MaxCompleted))
        transaction(ins, Leg::Relay, n++, logLine);
    ins.flush();
    inspect::InspectorWindow window(&ins, FormHooks());
    window.show();
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longest = 0, fed = 0;
    QTimer probe; // measures the gaps between its ticks
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (lastTick > 0 && now - lastTick > longest) {
            longest = now - lastTick;
            if (qEnvironmentVariableIsSet("INSPECT_BENCH_TRACE"))
                std::printf("  stall %lld ms at %lld ms, pane %d\n", longest, now,
                            window.tabs->currentIndex());
        }
        lastTick = now;
        // Events due by now at 10,000 a second, in thirds: ordinary
        // transactions, replies for tags never sent, commands that never complete.
        const qint64 due = now * 10;
        while (fed < due) {
            switch (fed % 3) {
            case 0:
                transaction(ins, Leg::Relay, n++, logLine);
                fed += 4;
                break;
            case 1: {
                const QByteArray line = tagged(50000 + stray++ % 40000, "# stray");
                ins.feed(Leg::Relay, Direction::FromServer, line, false, logLine++);
                ++fed;
                break;
            }
            default: {
                const QByteArray line = tagged(open++, "GoTo(X(1))");
                ins.feed(Leg::Operator, Direction::ToServer, line, false, logLine++);
                ++fed;
                break;
            }
            }
        }
    });
    QTimer tabs; // every pane gets its turn on screen
    tabs.setInterval(700);
    QObject::connect(&tabs, &QTimer::timeout,
                     [&] { window.tabs->setCurrentIndex((window.tabs->currentIndex() + 1) % 3); });
    probe.start();
    tabs.start();
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
    app.exec();
    std::printf(
        "events at 10,000/s for %d s: %lld lines fed; longest event-loop stall %lld ms (target 50): %s\n",
        seconds, fed, longest, longest <= 50 ? "ok" : "OVER");
    std::printf("  open %d, completed kept %llu, findings %lld (kept %llu)\n", ins.openCount(),
                ins.completedEnd() - ins.completedBegin(), ins.findingCount(),
                ins.findingsEnd() - ins.findingsBegin());

    // 3. 100,000 commands that never complete, at once, then one refresh.
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 100000; ++i) {
        const QByteArray line = tagged(i, "GoTo(X(1))");
        ins.feed(Leg::Relay, Direction::ToServer, line, false, logLine++);
    }
    const qint64 feedMs = t.elapsed();
    t.restart();
    window.tabs->setCurrentIndex(0);
    ins.flush();
    app.processEvents();
    std::printf(
        "100,000 commands that never complete: fed in %lld ms, views up to date in %lld ms; open %d\n",
        feedMs, t.elapsed(), ins.openCount());
    std::printf("memory: RSS %lld MiB (%lld MiB before the window run, the feed tests' lines included), peak "
                "%lld MiB\n",
                statusKb("VmRSS:") / 1024, rssBefore / 1024, statusKb("VmHWM:") / 1024);
    return 0;
}
