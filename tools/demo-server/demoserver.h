#pragma once
// A small I++ DME server for trying Torvane without a machine. Every command
// is acknowledged at once; the machine's reply (data lines, errors, the
// completion line) follows after `delayMs`. Commands with an event tag
// ("E" and four digits) bypass the queue; AbortE aborts what is queued.

#include "link/linesplitter.h"

#include "demomachine.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <functional>
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

Q_SIGNALS:
    void clientConnected();
    void clientDisconnected();

private:
    struct Client {
        QPointer<QTcpSocket> socket;
        LineSplitter lines;
        QList<QPair<QString, QString>> queue; // tag, command
        QTimer timer;
    };
    void onNewConnection();
    void onReadyRead(Client *c);
    void onClosed(Client *c);
    void handleLine(Client *c, const QString &line);
    void runNext(Client *c);
    void write(Client *c, const QString &line);
    void write(Client *c, const QStringList &lines);

    QTcpServer server;
    std::vector<std::unique_ptr<Client>> clients;
};
