#pragma once
// A small I++ DME server for trying Torvane without a machine. Every command
// is acknowledged at once; the machine's reply (data lines, errors, the
// completion line) follows after `delayMs`. Commands with an event tag
// ("E" and four digits) bypass the queue; AbortE aborts what is queued.

#include "link/linesplitter.h"

#include "demomachine.h"
#include "replay/faults.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <deque>
#include <memory>
#include <vector>

class QTcpSocket;

class DemoServer : public QObject {
    Q_OBJECT
public:
    explicit DemoServer(QObject *parent = nullptr);
    ~DemoServer() override;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 1294);
    quint16 port() const { return server.serverPort(); }
    QString errorString() const { return server.errorString(); }
    int clientCount() const { return int(clients.size()); }

    // Time between a command's acknowledge and its completion.
    int delayMs = 0;
    // Unasked position reports to every client; 0 switches them off.
    void setEventInterval(int ms);
    QTimer eventTimer;
    void sendEvent();

    // Longest line accepted before the client is dropped.
    int maxLineLength = 65536;

    // Told about every line in (">> ") and out ("<< "), when set.
    std::function<void(const QString &)> trace;

    DemoMachine machine;

    // Scripted faults on the answers, when set (not owned). Each command then
    // runs at once, its answer planned: the lines go out in order at their
    // planned delays.
    replay::FaultScript *faults = nullptr;

Q_SIGNALS:
    void clientConnected();
    void clientDisconnected();

private:
    struct Client {
        QPointer<QTcpSocket> socket;
        LineSplitter lines;
        QList<QPair<QString, QString>> queue; // tag, command
        QTimer timer;
        // Lines held back by a planned delay, with the time they are due (ms
        // on `clock`); later lines wait behind them.
        std::deque<std::pair<qint64, QByteArray>> later;
        QTimer laterTimer;
    };
    void onNewConnection();
    void onReadyRead(Client *c);
    void onClosed(Client *c);
    void handleLine(Client *c, const QString &line);
    void runNext(Client *c);
    void write(Client *c, const QString &line);
    void write(Client *c, const QStringList &lines);
    void writeRaw(Client *c, const QByteArray &line);
    void writeLater(Client *c, const QByteArray &line, qint64 delayMs);
    void flushLater(Client *c);
    void answerPlanned(Client *c, const QString &tag, const QString &command);

    QTcpServer server;
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Client>> clients;
};
