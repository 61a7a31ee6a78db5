#include "app/tform1.h"
#include "platform/platform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QIcon>
#include <QTextStream>

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

// A close that a signal started must end even if something in it waits: after
// this long the program ends without it.
constexpr int CloseBoundSeconds = 5;

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
    // Lines end in LF here as in every other of the programs.
    platform::BinaryStandardStreams();
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

    // SIGINT and SIGTERM close the window the normal way; a second one ends
    // the program at once. Caught before the window exists, so that a signal
    // arriving during start-up is not lost; it is acted on once the window is
    // there.
    Console console;
    TForm1 *window = nullptr;
    QObject signalContext;
    platform::OnTerminationRequest(&signalContext, [&] {
        if (console.signalClose)
            return;
        console.signalClose = true;
        platform::ExitAfter(CloseBoundSeconds,
                            "torvane: the close took longer than 5 s; ended without finishing it\n");
        if (window)
            window->close(); // runs the close sequence, settings included
        // Also leaves a message box's loop, should one be open.
        QCoreApplication::exit(0);
    });

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
