// torvane-demo-server: a pretend measuring machine for trying Torvane.

#include "demoserver.h"
#include "platform/platform.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane-demo-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A small I++ DME server that pretends to be a measuring machine, so that\n"
                       "Torvane can be tried without one. It listens on 127.0.0.1, acknowledges\n"
                       "every command at once and completes it after the delay. It knows the\n"
                       "session, homing, GoTo, Get, PtMeas, tool and property commands; others\n"
                       "get an error line."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption portOpt(QStringLiteral("port"),
                               QStringLiteral("TCP port to listen on (default 1294; 0 picks a free one)."),
                               QStringLiteral("port"), QStringLiteral("1294"));
    QCommandLineOption delayOpt(
        QStringLiteral("delay-ms"),
        QStringLiteral("Delay between a command's acknowledge and its completion, in ms (default 0)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    QCommandLineOption eventsOpt(QStringLiteral("events"),
                                 QStringLiteral("Send an unasked position report (\"E9003 # X(..), Y(..), "
                                                "Z(..)\") every <seconds> (default 0: none)."),
                                 QStringLiteral("seconds"), QStringLiteral("0"));
    QCommandLineOption verboseOpt(QStringLiteral("verbose"),
                                  QStringLiteral("Print every line received and sent."));
    QCommandLineOption faultsOpt(QStringLiteral("faults"),
                                 QStringLiteral("Scripted faults on the answers, from a JSON file."),
                                 QStringLiteral("file"));
    parser.addOptions({portOpt, delayOpt, eventsOpt, verboseOpt, faultsOpt});
    parser.process(app);

    QTextStream err(stderr);
    bool ok = false;
    const uint port = parser.value(portOpt).toUInt(&ok);
    if (!ok || port > 65535) {
        err << "torvane-demo-server: invalid port: " << parser.value(portOpt) << Qt::endl;
        return 2;
    }
    const int delay = parser.value(delayOpt).toInt(&ok);
    if (!ok || delay < 0) {
        err << "torvane-demo-server: invalid delay: " << parser.value(delayOpt) << Qt::endl;
        return 2;
    }
    const double events = parser.value(eventsOpt).toDouble(&ok);
    if (!ok || events < 0 || events > 86400) {
        err << "torvane-demo-server: invalid event interval: " << parser.value(eventsOpt) << Qt::endl;
        return 2;
    }

    replay::FaultScript faults;
    if (parser.isSet(faultsOpt)) {
        QString error;
        if (!faults.load(parser.value(faultsOpt), &error)) {
            err << "torvane-demo-server: " << error << Qt::endl;
            return 2;
        }
    }

    DemoServer server;
    server.delayMs = delay;
    if (parser.isSet(faultsOpt))
        server.faults = &faults;
    if (parser.isSet(verboseOpt))
        server.trace = [](const QString &line) { QTextStream(stdout) << line << Qt::endl; };
    if (!server.listen(QHostAddress::LocalHost, quint16(port))) {
        err << "torvane-demo-server: cannot listen on port " << port << ": " << server.errorString()
            << Qt::endl;
        return 1;
    }
    if (events > 0)
        server.setEventInterval(qMax(1, int(events * 1000)));
    // Ctrl+C, a termination request: the clients' connections close in order.
    platform::OnTerminationRequest(&server, [] { QCoreApplication::quit(); });
    QTextStream(stdout) << "torvane-demo-server listening on 127.0.0.1:" << server.port() << Qt::endl;
    return app.exec();
}
