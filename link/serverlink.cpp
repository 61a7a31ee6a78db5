#include "link/serverlink.h"

#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>

ServerLink::ServerLink(QObject *parent) : LineConnection(BurstLines, parent), attemptTimer(new QTimer(this))
{
    attemptTimer->setSingleShot(true);
    connect(attemptTimer, &QTimer::timeout, this, [this] { failAttempt(); });
}

void ServerLink::connectTo(const QString &host, quint16 port)
{
    QHostAddress address;
    if (address.setAddress(host) && address.protocol() == QAbstractSocket::IPv4Protocol)
        return connectToAddress(address, port);
    status(QStringLiteral("Resolving hostname %1.").arg(host));
    attemptTimer->start(ResolveTimeoutMs);
    lookupId = QHostInfo::lookupHost(host, this, [this, port](const QHostInfo &info) {
        if (info.lookupId() != lookupId)
            return; // an attempt given up already
        lookupId = -1;
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                return connectToAddress(a, port);
        }
        failAttempt();
    });
}

void ServerLink::connectToAddress(const QHostAddress &address, quint16 port)
{
    status(QStringLiteral("Connecting to %1.").arg(address.toString()));
    auto *socket = new QTcpSocket(this);
    socket->setObjectName(QStringLiteral("IdTCPClient1"));
    pending = socket;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == pending)
            linkUp();
    });
    // A failure is taken up from the event loop, never inside this call:
    // some systems refuse a loopback connect at once, and the caller should
    // see the attempt running either way.
    const quint64 id = ++attempt;
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, id] {
            if (id == attempt && pending)
                failAttempt();
        },
        Qt::QueuedConnection);
    attemptTimer->start(ConnectTimeoutMs);
    socket->connectToHost(address, port);
}

bool ServerLink::settling() const
{
    return attemptTimer->isActive();
}

void ServerLink::failAttempt()
{
    attemptTimer->stop();
    if (lookupId >= 0)
        QHostInfo::abortHostLookup(lookupId);
    lookupId = -1;
    if (QTcpSocket *socket = pending) {
        pending = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (onFailed)
        onFailed();
}

void ServerLink::linkUp()
{
    QTcpSocket *socket = pending;
    pending = nullptr;
    attemptTimer->stop();
    socket->disconnect(this);
    attachSocket(socket);
    if (onConnected)
        onConnected();
    // Bytes that came with the connect have had no notice of their own.
    if (socket == this->socket() && socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this] { readNow(); }, Qt::QueuedConnection);
}

void ServerLink::inputEnded(EndReason reason)
{
    releaseSocket();
    LineConnection::inputEnded(reason);
}
