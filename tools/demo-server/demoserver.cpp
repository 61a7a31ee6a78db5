// The demo server's network side: connections, line framing, the command
// queue and the event timer.

#include "demoserver.h"

#include <QTcpSocket>

DemoServer::DemoServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &DemoServer::onNewConnection);
    connect(&eventTimer, &QTimer::timeout, this, &DemoServer::sendEvent);
    clock.start();
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
        c->laterTimer.setSingleShot(true);
        connect(&c->laterTimer, &QTimer::timeout, this, [this, raw] { flushLater(raw); });
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
        c->laterTimer.stop();
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
        // The CR of a line before that ended LF CR is that line's, not this one's.
        handleLine(c, QString::fromLatin1(c->lines.leadingCr() ? QByteArrayView(line).sliced(1) : line));
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
    if (faults && frameError.isEmpty()) {
        answerPlanned(c, tag, command);
        return;
    }
    if (!frameError.isEmpty() && tag == QLatin1String("E0000")) {
        write(c, tag + QStringLiteral(" ! ") + frameError);
        return;
    }
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
    if (!c->later.empty())
        writeLater(c, line.toLatin1(), 0);
    else
        writeRaw(c, line.toLatin1());
}

void DemoServer::writeRaw(Client *c, const QByteArray &line)
{
    if (!c->socket || c->socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (trace)
        trace(QStringLiteral("<< ") + QString::fromLatin1(line));
    c->socket->write(line + "\r\n");
}

void DemoServer::writeLater(Client *c, const QByteArray &line, qint64 delayMs)
{
    qint64 due = clock.elapsed() + delayMs;
    if (!c->later.empty())
        due = qMax(due, c->later.back().first);
    c->later.emplace_back(due, line);
    flushLater(c);
}

void DemoServer::flushLater(Client *c)
{
    const qint64 now = clock.elapsed();
    while (!c->later.empty() && c->later.front().first <= now) {
        writeRaw(c, c->later.front().second);
        c->later.pop_front();
    }
    if (!c->later.empty())
        c->laterTimer.start(int(c->later.front().first - now));
}

// The command runs now; its answer (the '&', then its lines after the
// delay) goes through the fault rules first.
void DemoServer::answerPlanned(Client *c, const QString &tag, const QString &command)
{
    replay::FaultPlan plan;
    plan.tag = tag.toLatin1();
    plan.lines.push_back({plan.tag + " &", 0});
    for (const QString &l : machine.execute(tag, command))
        plan.lines.push_back({l.toLatin1(), qint64(delayMs) * 1000});
    faults->apply(command.toLatin1(), plan);
    for (const replay::PlannedLine &l : plan.events) {
        QPointer<QTcpSocket> s = c->socket;
        const QByteArray line = l.line;
        QTimer::singleShot(int(l.delayUs / 1000), this, [this, s, c, line] {
            for (auto &k : clients)
                if (k.get() == c && s && c->socket == s)
                    writeRaw(c, line);
        });
    }
    if (plan.close) {
        if (trace)
            trace(QStringLiteral("-- a scripted fault closes the connection"));
        c->socket->abort();
        return;
    }
    for (const replay::PlannedLine &l : plan.lines)
        writeLater(c, l.line, l.delayUs / 1000);
}

void DemoServer::write(Client *c, const QStringList &lines)
{
    for (const QString &l : lines)
        write(c, l);
}
