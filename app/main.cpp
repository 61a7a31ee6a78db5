#include "app/tform1.h"

#include <QApplication>
#include <QCommandLineParser>
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

const char usage[] = "Usage: torvane [options]\n"
                     "\n"
                     "Torvane: a diagnostic client, relay and fault injector for the I++ DME\n"
                     "protocol. Connects to a measuring machine's server (default 127.0.0.1:1294)\n"
                     "and listens for one relay client (default port 1295).\n"
                     "\n"
                     "Settings are kept in Torvane.ini in the working directory.\n"
                     "SIGINT and SIGTERM close the window as if by the operator (settings saved);\n"
                     "errors are then written to standard error, and the program ends within 5 s.\n"
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

// A close that a signal started must end even if something in it waits: after
// this long the program ends without it.
constexpr unsigned CloseBoundSeconds = 5;

extern "C" void OnCloseOverdue(int)
{
    const char text[] = "torvane: the close took longer than 5 s; ended without finishing it\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(1);
}

void ArmCloseBound()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnCloseOverdue;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(CloseBoundSeconds);
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

// How the window talks to the operator: message boxes as usual, but once a
// signal has asked for the close no one is there to answer one, so messages
// go to standard error and questions get "Cancel".
struct Console {
    bool signalClose = false;
    bool errorShown = false;
};

FormHooks HooksFor(QWidget *window, Console &console)
{
    FormHooks h;
    h.message = [window, &console](QMessageBox::Icon icon, const QString &caption, const QString &text) {
        if (!console.signalClose) {
            FormHooks::desktop(window).message(icon, caption, text);
            return;
        }
        if (icon == QMessageBox::Critical)
            console.errorShown = true;
        QTextStream(stderr) << "torvane: " << text << "\n";
    };
    h.confirm = [window, &console](const QString &caption, const QString &question) {
        return !console.signalClose && FormHooks::desktop(window).confirm(caption, question);
    };
    h.openFileName = [window, &console](const QString &title, const QString &filter, bool mustExist) {
        return console.signalClose ? QString()
                                   : FormHooks::desktop(window).openFileName(title, filter, mustExist);
    };
    h.saveFileName = [window, &console](const QString &title, const QString &filter) {
        return console.signalClose ? QString() : FormHooks::desktop(window).saveFileName(title, filter);
    };
    return h;
}

QStringList LocalArguments(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

} // namespace

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    // "-platform" and Qt's other options are one word, not -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and exit."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version and exit."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);

    // --help and --version work without a display: looked at before the
    // application exists, Qt's own options still among the arguments.
    parser.parse(LocalArguments(argc, argv));
    if (parser.isSet(helpOption)) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (parser.isSet(versionOption)) {
        QTextStream(stdout) << "Torvane " << TORVANE_VERSION << "\n";
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Torvane"));
    QApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    if (QFile::exists(QStringLiteral(":/torvane/torvane.png")))
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/torvane/torvane.png")));

    // What Qt did not take is ours: anything left is not known.
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "torvane: unknown argument: " << app.arguments().value(1) << "\n\n" << usage;
        return 2;
    }

    // Installed before the window exists, so that a signal arriving during
    // start-up is not lost; it is acted on once the window is there.
    Console console;
    TForm1 *window = nullptr;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (InstallTerminationHandlers()) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, signalNotifier.get(), [&] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) { }
            if (console.signalClose)
                return;
            console.signalClose = true;
            ArmCloseBound();
            if (window)
                window->close(); // runs the close sequence, settings included
            // Also leaves a message box's loop, should one be open.
            QCoreApplication::exit(0);
        });
    }

    // The window's boxes have the window as their parent, from its start-up on.
    TForm1 form(nullptr, HooksFor(&form, console));
    if (console.signalClose) {
        form.close();
        return console.errorShown ? 1 : 0;
    }
    window = &form;
    form.show();
    const int code = app.exec();
    return console.errorShown ? 1 : code;
}
