#pragma once
// Test peers on loopback: a scripted I++ DME server and a stand-in for the
// relay client. Both record every line they receive.

#include "link/linesplitter.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

class TestServer : public QObject {
    Q_OBJECT
public:
    explicit TestServer(QObject *parent = nullptr);
    ~TestServer() override;

    quint16 port() const { return server.serverPort(); }
    bool hasClient() const { return client && client->state() == QAbstractSocket::ConnectedState; }
    bool waitForClient(int ms = 5000);
    bool waitForLines(int count, int ms = 5000);

    // Lines received, without their CR LF.
    QList<QByteArray> received;

    // Answer every command with "tag &" and "tag %" (and `data` lines between).
    bool autoAcknowledge = false;
    // Called for each received line; returns the raw lines to answer with.
    std::function<QList<QByteArray>(const QByteArray &line)> script;

    void sendLine(const QByteArray &line); // CR LF appended
    void sendRaw(const QByteArray &bytes);
    qint64 queuedBytes() const { return client ? client->bytesToWrite() : 0; }
    void dropClient();
    // Ends what the server sends (a FIN) and goes on reading.
    void shutdownOutput();

Q_SIGNALS:
    void lineReceived(const QByteArray &line);
    void clientLeft(); // the connected client has gone

private:
    void onReadyRead();
    QTcpServer server;
    QPointer<QTcpSocket> client;
    LineSplitter lines{1 << 28}; // tests send what they like
};

class TestRelayClient : public QObject {
    Q_OBJECT
public:
    explicit TestRelayClient(QObject *parent = nullptr);
    bool connectTo(quint16 port, int ms = 5000);
    void sendLine(const QByteArray &line); // CR LF appended
    void sendRaw(const QByteArray &bytes);
    bool waitForLines(int count, int ms = 5000);
    bool waitForClose(int ms = 5000);
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    void close() { socket.disconnectFromHost(); }

    QList<QByteArray> received;
    QTcpSocket socket;

Q_SIGNALS:
    void lineReceived(const QByteArray &line);

private:
    LineSplitter lines{1 << 28}; // tests send what they like
};
