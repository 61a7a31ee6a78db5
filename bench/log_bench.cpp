// Log benchmark: 1,000,000 server lines through the window's real line
// handling with the window shown (offscreen), in bursts as a socket delivers
// them. Reports the cost per line, the longest event-loop stall while
// appending, resident memory at the end, and the time to save the log.

#include "app/tform1.h"
#include "log/logview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

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
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int total = argc > 1 ? atoi(argv[1]) : 1000000;
    const int burst = argc > 2 ? atoi(argv[2]) : 500;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    FormHooks hooks;
    hooks.message = [](QMessageBox::Icon, const QString &, const QString &text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    };
    const QString savePath = dir.path() + QStringLiteral("/log.txt");
    hooks.saveFileName = [&](const QString &, const QString &) { return savePath; };
    auto *form = new TForm1(nullptr, hooks);
    form->show();
    const long rssBefore = residentKb();

    int done = 0;
    qint64 maxGapNs = 0;
    QElapsedTimer sinceTick;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        maxGapNs = qMax(maxGapNs, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });

    QElapsedTimer clock;
    QTimer feeder;
    feeder.setInterval(0);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        for (int i = 0; i < burst && done < total; ++i, ++done) {
            form->ProcessServerLine(QStringLiteral("%1 # X(%2), Y(20.125), Z(-3.5)")
                                        .arg(done % 100000, 5, 10, QLatin1Char('0'))
                                        .arg(done));
        }
        // Then until the widget has painted every line.
        if (done >= total && !form->MemoLog->paintPending()) {
            feeder.stop();
            app.quit();
        }
    });
    clock.start();
    sinceTick.start();
    probe.start();
    feeder.start();
    app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    probe.stop();

    QElapsedTimer saveClock;
    saveClock.start();
    form->BtSaveLogClick();
    const double saveSeconds = saveClock.nsecsElapsed() / 1e9;
    const qint64 saved = QFileInfo(savePath).size();

    std::printf("log_bench: %d lines in bursts of %d, window shown\n", total, burst);
    std::printf("  per line              %8.2f us\n", seconds * 1e6 / total);
    std::printf("  longest stall         %8.1f ms   (target <= 50)\n", maxGapNs / 1e6);
    std::printf("  resident memory       %8.1f MB   (target <= 400; %.1f MB before)\n", residentKb() / 1024.0,
                rssBefore / 1024.0);
    std::printf("  save log              %8.3f s    (target <= 1; %lld bytes)\n", saveSeconds, saved);
    std::printf("  lines in log          %8d\n", form->MemoLog->lineCount());
    form->hide();
    std::fflush(stdout);
    std::_Exit(0); // skip tearing down a million-line document
}
