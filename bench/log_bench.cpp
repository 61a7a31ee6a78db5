// Log benchmark: server lines (10,000,000 unless given) through the window's
// real line handling with the window shown (offscreen), in bursts as a socket
// delivers them. Reports, beside its target: the longest event-loop stall
// while appending, resident memory at the end and when the log's text first
// reached its memory bound, with its growth per line since, the repaint per
// frame while the scroll bar is dragged over the whole log, Save Log (and
// the longest stall while it runs) and Clear Log; also a find step and how
// much of the text went to the spill file and was read back.
// A second argument sets the burst size, a third the memory bound in MB.

#include "app/tform1.h"
#include "log/logview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstring>

namespace {
long residentKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

QString serverLine(int i)
{
    return QStringLiteral("%1 # X(%2), Y(20.125), Z(-3.5)").arg(i % 100000, 5, 10, QLatin1Char('0')).arg(i);
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int total = argc > 1 ? atoi(argv[1]) : 10000000;
    const int burst = argc > 2 ? atoi(argv[2]) : 500;
    const qint64 boundMb = argc > 3 ? atoll(argv[3]) : 0;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    FormHooks hooks;
    hooks.message = [](QMessageBox::Icon, const QString &, const QString &text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    };
    const QString savePath = dir.path() + QStringLiteral("/log.txt");
    hooks.saveFileName = [&](const QString &, const QString &) { return savePath; };
    int progressCalls = 0;
    hooks.progress = [&](const QString &, qint64, qint64) {
        ++progressCalls;
        return true;
    };
    auto *form = new TForm1(nullptr, hooks);
    TrafficLogView *log = form->MemoLog;
    if (boundMb > 0)
        log->store().setMemoryBound(boundMb << 20);
    form->show();
    const long rssBefore = residentKb();

    int done = 0;
    int stallAt = 0;
    qint64 maxGapNs = 0;
    QElapsedTimer sinceTick;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (sinceTick.nsecsElapsed() > maxGapNs) {
            maxGapNs = sinceTick.nsecsElapsed();
            stallAt = done;
        }
        sinceTick.restart();
    });

    // Resident memory when the text first goes past its bound (the spill
    // file starts): from then on it should stay where it is.
    long rssAtCapKb = -1;
    int linesAtCap = 0;
    QElapsedTimer clock;
    QTimer feeder;
    feeder.setInterval(0);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        for (int i = 0; i < burst && done < total; ++i, ++done)
            form->ProcessServerLine(serverLine(done));
        if (rssAtCapKb < 0 && log->store().spilledBytes() > 0) {
            rssAtCapKb = residentKb();
            linesAtCap = done;
        }
        // Then until the widget has painted every line.
        if (done >= total && !log->paintPending()) {
            feeder.stop();
            app.quit();
        }
    });
    // The window's first painting is over before the lines come.
    QTimer::singleShot(300, &app, [&] {
        clock.start();
        sinceTick.start();
        probe.start();
        feeder.start();
    });
    app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    probe.stop();
    const double appendStallMs = maxGapNs / 1e6;
    const int appendStallAt = stallAt;
    const long rssKb = residentKb();
    const LogStore &store = log->store();
    const qint64 textBytes = store.textBytes();
    const int lines = log->lineCount();
    // The text and its index up to the memory bound, beside what the window
    // held before.
    const double rssTargetMb = rssBefore / 1024.0
        + qMin<double>(textBytes + 4.0 * lines, store.memoryBound()) * 1.05 / 1048576.0 + 16;

    // Dragging the scroll bar from top to bottom: one synchronous repaint per
    // position, spread over the whole log (spilled parts included).
    QScrollBar *v = log->verticalScrollBar();
    QPixmap canvas(log->viewport()->size());
    log->viewport()->render(&canvas); // glyphs cached before the first frame counts
    constexpr int Frames = 200;
    qint64 worstFrameNs = 0, allFramesNs = 0;
    for (int k = 0; k <= Frames; ++k) {
        QElapsedTimer frame;
        frame.start();
        v->setValue(int(qint64(v->maximum()) * k / Frames));
        log->viewport()->render(&canvas);
        const qint64 ns = frame.nsecsElapsed();
        worstFrameNs = qMax(worstFrameNs, ns);
        allFramesNs += ns;
    }

    // A find step: the scan from the top to the next match, a line near the start.
    const QByteArray wanted = "X(1000),";
    QElapsedTimer findClock;
    findClock.start();
    int foundAt = -1;
    log->forEachLine(0, lines, [&](int index, const char *data, qsizetype length) {
        if (QByteArrayView(data, length).contains(wanted)) {
            foundAt = index;
            return false;
        }
        return true;
    });
    const double findMs = findClock.nsecsElapsed() / 1e6;
    // The first lines come back from the spill file unchanged.
    const bool readBackOk = log->line(1).endsWith(serverLine(0)) && log->line(2).endsWith(serverLine(1));
    const qint64 spilled = store.spilledBytes();

    // Save Log: until the file is there (it takes the name when complete),
    // with the longest stall of the event loop meanwhile.
    QElapsedTimer saveClock;
    saveClock.start();
    maxGapNs = 0;
    sinceTick.restart();
    probe.start();
    form->BtSaveLogClick();
    const qint64 clickNs = saveClock.nsecsElapsed(); // a stall of its own
    QTimer saveDone;
    saveDone.setInterval(1);
    QObject::connect(&saveDone, &QTimer::timeout, [&] {
        if (QFileInfo::exists(savePath) || saveClock.elapsed() > 120000)
            app.quit();
    });
    saveDone.start();
    if (!QFileInfo::exists(savePath))
        app.exec();
    saveDone.stop();
    probe.stop();
    const double saveSeconds = saveClock.nsecsElapsed() / 1e9;
    const double saveStallMs = qMax(maxGapNs, clickNs) / 1e6;
    const qint64 saved = QFileInfo(savePath).size();

    QElapsedTimer clearClock;
    clearClock.start();
    form->BtClearLogClick();
    const double clearMs = clearClock.nsecsElapsed() / 1e6;
    // Then the freed memory goes back in slices: the longest stall meanwhile.
    maxGapNs = 0;
    sinceTick.restart();
    probe.start();
    QTimer::singleShot(1500, &app, &QCoreApplication::quit);
    app.exec();
    probe.stop();

    const double clearStallMs = maxGapNs / 1e6;

    std::printf("log_bench: %d lines in bursts of %d, window shown, %.1f MB of text\n", total, burst,
                textBytes / 1048576.0);
    std::printf("  per line              %8.2f us\n", seconds * 1e6 / total);
    std::printf("  longest stall         %8.1f ms   (target <= 16; after %d lines)\n", appendStallMs,
                appendStallAt);
    std::printf("  resident memory       %8.1f MB   (target <= %.1f; %.1f MB before)\n", rssKb / 1024.0,
                rssTargetMb, rssBefore / 1024.0);
    if (rssAtCapKb >= 0 && lines > linesAtCap)
        std::printf("  past the bound        %8.2f B    a line (%.1f MB at the bound, after %d lines)\n",
                    (rssKb - rssAtCapKb) * 1024.0 / (done - linesAtCap), rssAtCapKb / 1024.0, linesAtCap);
    else
        std::printf("  past the bound               -      (the text stayed within its bound)\n");
    std::printf("  scroll-bar drag       %8.2f ms   (target <= 5 a frame; %.2f ms on average, %d frames)\n",
                worstFrameNs / 1e6, allFramesNs / 1e6 / (Frames + 1), Frames + 1);
    std::printf("  find step             %8.2f ms   (target <= 100; a scan to line %d)\n", findMs, foundAt);
    std::printf("  save log              %8.3f s    (target <= 2; %lld bytes%s, %d progress calls)\n",
                saveSeconds, saved, saved == textBytes ? "" : " WRONG", progressCalls);
    std::printf("  stall while saving    %8.1f ms   (target <= 16)\n", saveStallMs);
    std::printf("  clear log             %8.2f ms   (target <= 50; longest stall after it %.1f ms)\n",
                clearMs, clearStallMs);
    std::printf("  spilled to disk       %8.1f MB   (bound %lld MB in memory; first lines read back %s)\n",
                spilled / 1048576.0, store.memoryBound() >> 20, readBackOk ? "unchanged" : "WRONG");
    std::printf("  lines in log          %8d\n", lines);
    form->hide();
    std::fflush(stdout);
    std::_Exit(0); // skip tearing down the window
}
