#include "relay/relaysession.h"

#include "link/protocol.h"
#include "platform/platform.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int DescriptorGraceMs = 1000;
} // namespace

RelaySession::RelaySession(QObject *parent)
    : LineConnection(MaxBurstLines, parent), server(new QTcpServer(this)), replyWait(new QTimer(this))
{
    server->setObjectName(QStringLiteral("IdTCPServer1"));
    replyWait->setSingleShot(true);
    connect(replyWait, &QTimer::timeout, this, [this] { drop(); });
    connect(server, &QTcpServer::newConnection, this, [this] { newConnection(); });
}

RelaySession::~RelaySession()
{
    if (descriptor >= 0)
        platform::CloseSocket(descriptor);
}

bool RelaySession::listen(const QHostAddress &address, quint16 port)
{
    if (server->isListening())
        server->close();
    server->setListenBacklogSize(ListenBacklog);
    return server->listen(address, port);
}

void RelaySession::stopListening()
{
    server->close();
}

bool RelaySession::isListening() const
{
    return server->isListening();
}

quint16 RelaySession::serverPort() const
{
    return server->serverPort();
}

void RelaySession::setLineHandler(std::function<void(const QByteArray &)> handler)
{
    LineConnection::setLineHandler([this, handler = std::move(handler)](const QByteArray &line) {
        noteCommand(line);
        handler(line);
    });
}

void RelaySession::newConnection()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            break;
        if (clientSocket || isLeaving || (acceptGate && !acceptGate())) {
            // One client at a time, and none while the link is going down:
            // the newcomer is closed unheard.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        start(socket);
    }
}

void RelaySession::start(QTcpSocket *socket)
{
    socket->setObjectName(QStringLiteral("relayConnection"));
    clientSocket = socket;
    inputDone = false;
    openTags.clear();
    descriptor = platform::DuplicateSocket(socket->socketDescriptor());
    attachSocket(socket);
    // No line is read before the arrival is handled, even if that keeps the
    // event loop running (an error box).
    stopReading();
    if (onArrived)
        onArrived(socket);
    if (clientSocket != socket || isLeaving)
        return;
    in.attach(socket);
    // A client gone meanwhile still has its lines read, and then leaves.
    in.closeSeen = socket->state() != QAbstractSocket::ConnectedState;
    readNow();
}

void RelaySession::noteCommand(const QByteArray &line)
{
    // A blank line is no command: nothing answers it.
    const QByteArrayView tag = GetTag(QByteArrayView(line));
    if (!tag.isEmpty() && openTags.size() < MaxOpenTags)
        openTags.insert(tag);
}

bool RelaySession::clientConnected() const
{
    return clientSocket && !isLeaving
        && (inputDone || clientSocket->state() == QAbstractSocket::ConnectedState);
}

void RelaySession::writeLine(QByteArrayView line)
{
    if (!clientConnected())
        return;
    LineConnection::writeLine(line);
    if (openTags.isEmpty())
        return;
    // Most lines show their type at once; only a line led by control bytes
    // needs the full look.
    const bool leadingControl = !line.isEmpty() && uchar(line[0]) <= ' ';
    const bool complete =
        leadingControl ? GetType(line) == '%' : line.size() > ReplyTypeIndex && line[ReplyTypeIndex] == '%';
    if (!complete)
        return;
    openTags.remove(GetTag(line));
    if (inputDone && openTags.isEmpty())
        replyWait->start(0); // the leave handling, once this burst is through
}

void RelaySession::inputEnded(EndReason reason)
{
    if (onEnd)
        onEnd(reason);
    if (reason == EndReason::Closed)
        awaitReplies();
    else
        drop();
}

// The client has sent its last line. It may still be reading: the replies to
// its open commands go to it until their '%' or the time bound, and then it
// leaves.
void RelaySession::awaitReplies()
{
    if (!clientSocket || isLeaving || inputDone)
        return;
    if (openTags.isEmpty() || descriptor < 0 || !partner || !partner->isOpen()) {
        drop();
        return;
    }
    inputDone = true;
    stopReading();
    out.useDescriptor(
        descriptor,
        [this] {
            if (partner && !out.full())
                partner->partnerDrained();
        },
        [this] { drop(); });
    descriptor = -1;
    replyWait->start(replyWaitMs);
}

void RelaySession::drop()
{
    if (!clientSocket || isLeaving)
        return;
    isLeaving = true;
    replyWait->stop();
    out.flush();
    out.closeDescriptor(DescriptorGraceMs);
    if (descriptor >= 0) {
        platform::CloseSocket(descriptor); // the socket's own descriptor still holds the connection
        descriptor = -1;
    }
    releaseSocket();
    inputDone = false;
    openTags.clear();
    if (onLeft)
        onLeft();
    clientSocket = nullptr;
    isLeaving = false;
}
