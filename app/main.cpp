#include "app/tform1.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

const char usage[] =
    "Usage: torvane [options]\n"
    "\n"
    "Torvane: a diagnostic client, relay and fault injector for the I++ DME\n"
    "protocol. Connects to a measuring machine's server (default 127.0.0.1:1294)\n"
    "and listens for one relay client (default port 1295).\n"
    "\n"
    "Settings are kept in Torvane.ini in the working directory.\n"
    "SIGINT and SIGTERM close the window as if by the operator (settings saved).\n"
    "\n"
    "Options:\n"
    "  -h, --help     Show this help and exit.\n"
    "  -v, --version  Show the version and exit.\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted as well.\n";

// SIGINT and SIGTERM: the handler only writes one byte into a pipe; the read
// end is watched by the event loop, which then closes the window the normal
// way. The handler resets itself, so a second signal ends the program at once.
int signalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallTerminationHandlers()
{
    if (::pipe(signalPipe) != 0)
        return false;
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    // --help and --version work without a display.
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help") {
            QTextStream(stdout) << usage;
            return 0;
        }
        if (arg == "-v" || arg == "--version") {
            QTextStream(stdout) << "Torvane " << TORVANE_VERSION << "\n";
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Torvane"));
    QApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    if (QFile::exists(QStringLiteral(":/torvane/torvane.png")))
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/torvane/torvane.png")));

    // What Qt did not take is not ours either.
    const QStringList rest = app.arguments().mid(1);
    if (!rest.isEmpty()) {
        QTextStream(stderr) << "torvane: unknown argument: " << rest.first() << "\n\n" << usage;
        return 2;
    }

    // Installed before the window exists, so that a signal arriving during
    // start-up is not lost; it is acted on once the window is there.
    TForm1 *window = nullptr;
    bool closeRequested = false;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (InstallTerminationHandlers()) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            closeRequested = true;
            if (window)
                window->close();  // runs the close sequence, settings included
            // Also leaves any nested loop (a message box, a paced send).
            QCoreApplication::exit(0);
        });
    }

    TForm1 form;
    if (closeRequested) {
        form.close();
        return 0;
    }
    window = &form;
    form.show();
    return app.exec();
}
