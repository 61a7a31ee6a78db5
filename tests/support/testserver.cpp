#include "support/testserver.h"

#include "platform/platform.h"

#include <QSignalSpy>
#include <QTest>

namespace {
// Feeds `bytes` in and hands out every complete line.
void takeLines(LineSplitter &lines, const QByteArray &bytes,
               const std::function<void(const QByteArray &)> &onLine)
{
    lines.feed(bytes);
    QByteArray line;
    while (lines.next(line) == LineSplitter::Line)
        onLine(line);
}
} // namespace

TestServer::TestServer(QObject *parent) : QObject(parent)
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = server.nextPendingConnection()) {
            // One client at a time; one that has gone makes room at once,
            // even before its socket is deleted.
            if (client && client->state() == QAbstractSocket::ConnectedState) {
                s->abort();
                s->deleteLater();
                continue;
            }
            if (client)
                client->disconnect(this);
            client = s;
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            lines.clear();
            connect(s, &QTcpSocket::readyRead, this, &TestServer::onReadyRead);
            connect(s, &QTcpSocket::disconnected, this, &TestServer::clientLeft);
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

TestServer::~TestServer()
{
    if (client)
        client->abort();
}

bool TestServer::waitForClient(int ms)
{
    return QTest::qWaitFor([this] { return hasClient(); }, ms);
}

bool TestServer::waitForLines(int count, int ms)
{
    return QTest::qWaitFor([&] { return received.size() >= count; }, ms);
}

void TestServer::onReadyRead()
{
    takeLines(lines, client->readAll(), [this](const QByteArray &line) {
        received << line;
        Q_EMIT lineReceived(line);
        QList<QByteArray> answer;
        if (script)
            answer = script(line);
        else if (autoAcknowledge) {
            const QByteArray tag = line.trimmed().left(5);
            answer << tag + " &" << tag + " %";
        }
        for (const QByteArray &a : answer)
            sendLine(a);
    });
}

void TestServer::sendLine(const QByteArray &line)
{
    sendRaw(line + "\r\n");
}

void TestServer::sendRaw(const QByteArray &bytes)
{
    if (client) {
        client->write(bytes);
        client->flush();
    }
}

void TestServer::dropClient()
{
    if (client)
        client->abort();
}

void TestServer::shutdownOutput()
{
    if (!client)
        return;
    client->flush();
    platform::ShutdownWrite(client->socketDescriptor());
}

TestRelayClient::TestRelayClient(QObject *parent) : QObject(parent)
{
    connect(&socket, &QTcpSocket::readyRead, this, [this] {
        takeLines(lines, socket.readAll(), [this](const QByteArray &line) {
            received << line;
            Q_EMIT lineReceived(line);
        });
    });
}

bool TestRelayClient::connectTo(quint16 port, int ms)
{
    // A peer may let the client go as soon as it is in: connected once is
    // connected.
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return QTest::qWaitFor([&] { return !connected.isEmpty(); }, ms);
}

void TestRelayClient::sendLine(const QByteArray &line)
{
    sendRaw(line + "\r\n");
}

void TestRelayClient::sendRaw(const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

bool TestRelayClient::waitForLines(int count, int ms)
{
    return QTest::qWaitFor([&] { return received.size() >= count; }, ms);
}

bool TestRelayClient::waitForClose(int ms)
{
    return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
}
