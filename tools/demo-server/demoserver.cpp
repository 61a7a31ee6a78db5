// The demo server's network side: connections, line framing, the command
// queue and the event timer.

#include "demoserver.h"

#include <QTcpSocket>

DemoServer::DemoServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &DemoServer::onNewConnection);
    connect(&eventTimer, &QTimer::timeout, this, &DemoServer::sendEvent);
}

DemoServer::~DemoServer()
{
    for (auto &c : clients)
        if (c->socket)
            c->socket->disconnect(this);
}

bool DemoServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

void DemoServer::setEventInterval(int ms)
{
    if (ms > 0)
        eventTimer.start(ms);
    else
        eventTimer.stop();
}

void DemoServer::sendEvent()
{
    const QString line = machine.positionEvent();
    for (auto &c : clients)
        write(c.get(), line);
}

void DemoServer::onNewConnection()
{
    while (QTcpSocket *s = server.nextPendingConnection()) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto c = std::make_unique<Client>();
        Client *raw = c.get();
        c->socket = s;
        c->timer.setSingleShot(true);
        connect(&c->timer, &QTimer::timeout, this, [this, raw] { runNext(raw); });
        connect(s, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        connect(s, &QTcpSocket::disconnected, this, [this, raw] { onClosed(raw); });
        clients.push_back(std::move(c));
        if (trace)
            trace(QStringLiteral("-- client connected from %1").arg(s->peerAddress().toString()));
        Q_EMIT clientConnected();
        // Bytes that came with the connection.
        if (s->bytesAvailable())
            onReadyRead(raw);
    }
}

void DemoServer::onClosed(Client *c)
{
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (it->get() != c)
            continue;
        c->timer.stop();
        if (c->socket) {
            c->socket->disconnect(this);
            c->socket->deleteLater();
            c->socket = nullptr;
        }
        // Released later: this may run inside one of the client's own handlers.
        Client *gone = it->release();
        clients.erase(it);
        QMetaObject::invokeMethod(
            this, [gone] { delete gone; }, Qt::QueuedConnection);
        if (trace)
            trace(QStringLiteral("-- client left"));
        Q_EMIT clientDisconnected();
        return;
    }
}

void DemoServer::onReadyRead(Client *c)
{
    if (!c->socket)
        return;
    c->lines.setMaxLineLength(maxLineLength);
    c->lines.feed(c->socket->readAll());
    QByteArray line;
    LineSplitter::Result r;
    while ((r = c->lines.next(line)) == LineSplitter::Line) {
        handleLine(c, QString::fromLatin1(line));
        // A handler may have closed the client.
        if (!c->socket || c->socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
    if (r == LineSplitter::Overflow) {
        if (trace)
            trace(QStringLiteral("-- line too long, client dropped"));
        c->lines.clear();
        c->socket->abort(); // emits disconnected: the client is released there
    }
}

void DemoServer::handleLine(Client *c, const QString &line)
{
    if (line.trimmed().isEmpty())
        return;
    if (trace)
        trace(QStringLiteral(">> ") + line);
    QString tag, command;
    const QString frameError = machine.checkFrame(line, &tag, &command);
    write(c, tag + QStringLiteral(" &"));
    if (!frameError.isEmpty()) {
        write(c, {tag + QStringLiteral(" ! ") + frameError, tag + QStringLiteral(" %")});
        return;
    }
    if (tag.startsWith(QLatin1Char('E'))) {
        // Event commands run at once, ahead of the queue.
        if (command.startsWith(QLatin1String("AbortE")) && !c->queue.isEmpty()) {
            c->timer.stop();
            const auto aborted = c->queue;
            c->queue.clear();
            for (const auto &q : aborted)
                write(c, machine.abortLines(q.first, q.second));
            machine.needsClear = true;
        }
        write(c, machine.execute(tag, command));
        return;
    }
    if (delayMs <= 0 && c->queue.isEmpty()) {
        write(c, machine.execute(tag, command));
        return;
    }
    c->queue.append({tag, command});
    if (!c->timer.isActive())
        c->timer.start(qMax(0, delayMs));
}

void DemoServer::runNext(Client *c)
{
    if (c->queue.isEmpty())
        return;
    const auto job = c->queue.takeFirst();
    write(c, machine.execute(job.first, job.second));
    if (!c->queue.isEmpty())
        c->timer.start(qMax(0, delayMs));
}

void DemoServer::write(Client *c, const QString &line)
{
    if (!c->socket || c->socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (trace)
        trace(QStringLiteral("<< ") + line);
    c->socket->write(line.toLatin1() + "\r\n");
}

void DemoServer::write(Client *c, const QStringList &lines)
{
    for (const QString &l : lines)
        write(c, l);
}
