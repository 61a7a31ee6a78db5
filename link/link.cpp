// Server link: connecting, disconnecting and the handling of every line the
// server sends.
//
// A connect attempt runs on signals and one timer: the name look-up (when
// the host is not an address) and the TCP connect each have their bound.
// While it runs the link is "settling"; a relay client's lines wait, in
// order, until it has settled, so that its first command meets a link that
// is up (or known to have failed).

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "link/protocol.h"
#include "log/markers.h"
#include "log/timestamp.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QCheckBox>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <sys/socket.h>

namespace {
constexpr int ConnectTimeoutMs = 500;
constexpr int ResolveTimeoutMs = 3000;
constexpr int EndSessionWaitMs = 900;
constexpr int CloseGraceMs = 1000;
} // namespace

void TForm1::BtConnectClick()
{
    if (serverConnected) {
        // Disconnect: an open session is ended first, and the link goes down
        // once the server has had a moment to answer.
        if (endSessionTimer->isActive())
            return;
        if (sessionOpen) {
            BtStartClick();
            if (serverConnected) {
                endSessionTimer->start(EndSessionWaitMs);
                return;
            }
        }
        FinishDisconnect();
        return;
    }
    if (LinkSettling())
        return; // an attempt is under way already

    QString host = EdHost->text().trimmed();
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    int port = 0;
    if (!ParseIntStrict(EdPort->text(), port))
        throw HandlerError(NotAnIntegerMessage(EdPort->text()));
    if (port < 0 || port > 65535)
        return FailConnect();

    QHostAddress address;
    if (address.setAddress(host) && address.protocol() == QAbstractSocket::IPv4Protocol)
        return ConnectToAddress(address, quint16(port));

    IdTCPClient1Status(QStringLiteral("Resolving hostname %1.").arg(host));
    connectTimer->start(ResolveTimeoutMs);
    hostLookupId = QHostInfo::lookupHost(host, this, [this, port](const QHostInfo &info) {
        if (info.lookupId() != hostLookupId)
            return; // an attempt given up already
        hostLookupId = -1;
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                return ConnectToAddress(a, quint16(port));
        }
        FailConnect();
    });
}

void TForm1::ConnectToAddress(const QHostAddress &address, quint16 port)
{
    IdTCPClient1Status(QStringLiteral("Connecting to %1.").arg(address.toString()));
    auto *socket = new QTcpSocket(this);
    socket->setObjectName(QStringLiteral("IdTCPClient1"));
    pendingServerSocket = socket;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == pendingServerSocket)
            ServerLinkUp();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        if (socket == pendingServerSocket)
            FailConnect();
    });
    connectTimer->start(ConnectTimeoutMs);
    socket->connectToHost(address, port);
}

// The look-up or the connect did not finish within its bound.
void TForm1::ConnectTimedOut()
{
    if (hostLookupId >= 0)
        QHostInfo::abortHostLookup(hostLookupId);
    FailConnect();
}

void TForm1::FailConnect()
{
    connectTimer->stop();
    hostLookupId = -1;
    if (QTcpSocket *socket = pendingServerSocket) {
        pendingServerSocket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    IdTCPClient1Status(QStringLiteral("Error: Cannot connect ..."));
    clearToSend = false;
    LinkSettled();
}

void TForm1::ServerLinkUp()
{
    QTcpSocket *socket = pendingServerSocket;
    pendingServerSocket = nullptr;
    connectTimer->stop();
    socket->disconnect(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bytes the link hasn't taken yet stay in the network's hands.
    socket->setReadBufferSize(ReadChunk);
    IdTCPClient1 = socket;
    toServer.setSocket(socket);
    serverIn.attach(socket);
    connect(socket, &QTcpSocket::readyRead, this, [this] { ServerReadyRead(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] { ServerClosed(); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (relayIn.held() && !toServer.full())
            RelayReadyRead(); // the server has caught up with the relay client
    });
    IdTCPClient1Status(QStringLiteral("Connected."));
    RunHandler([this] { IdTCPClient1Connected(); });
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this] { ServerReadyRead(); }, Qt::QueuedConnection);
    LinkSettled();
}

bool TForm1::LinkSettling() const
{
    return connectTimer->isActive();
}

// The attempt is over, one way or the other: a relay client's held lines go on.
void TForm1::LinkSettled()
{
    if (relayConnection)
        RelayReadyRead();
}

void TForm1::FinishDisconnect()
{
    endSessionTimer->stop();
    if (!serverConnected || !IdTCPClient1)
        return;
    IdTCPClient1Status(QStringLiteral("Disconnecting."));
    ReleaseServerSocket();
    IdTCPClient1Disconnected();
    IdTCPClient1Status(QStringLiteral("Disconnected."));
}

void TForm1::IdTCPClient1Connected()
{
    LogEvent(QStringLiteral("---------- Connected") + FormatConnectionStamp(QDateTime::currentDateTime()));
    InspectReset(check::Leg::Operator);
    serverConnected = true;
    UpdateConnectionControls();
    CbFreeze->setChecked(false);
    SetFrozen(false);
    clearToSend = true;
}

void TForm1::IdTCPClient1Disconnected()
{
    LogEvent(QStringLiteral("---------- Disconnected") + FormatConnectionStamp(QDateTime::currentDateTime()));
    InspectReset(check::Leg::Operator);
    endSessionTimer->stop();
    serverConnected = false;
    sessionOpen = false;
    UpdateSessionControls();
    UpdateConnectionControls();
    // Nothing sent over this link can be acknowledged any more.
    EndMultiSend(QStringLiteral("connection lost"));
    DropRelayClient();
    clearToSend = false;
}

void TForm1::IdTCPClient1Status(const QString &text)
{
    LaStatus->setText(text);
}

void TForm1::ReleaseServerSocket()
{
    if (!IdTCPClient1)
        return;
    QTcpSocket *socket = IdTCPClient1;
    IdTCPClient1 = nullptr;
    toServer.flush();
    toServer.setSocket(nullptr);
    serverIn.detach();
    CloseGracefully(socket);
}

// What was written still goes out, then the connection closes with a FIN; a
// peer that doesn't take it within a second is reset. Whatever the peer still
// sends is read and let go until its own end of stream: a socket closed with
// unread bytes would answer with a reset instead of a FIN.
void TForm1::CloseGracefully(QTcpSocket *socket)
{
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(CloseGraceMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    const auto discard = [socket] { socket->readAll(); };
    connect(socket, &QTcpSocket::readyRead, socket, discard);
    discard();
    const auto finSent = std::make_shared<bool>(false);
    const auto endOutput = [socket, finSent] {
        if (*finSent || socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState)
            return;
        *finSent = true;
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, endOutput);
    endOutput();
}

void TForm1::WriteServerLine(const QString &line)
{
    if (!IdTCPClient1 || IdTCPClient1->state() != QAbstractSocket::ConnectedState)
        throw HandlerError(QStringLiteral("Not Connected"));
    toServer.write(WireLine(line));
    InspectLine(check::Leg::Operator, check::Direction::ToServer, line,
                lastLogMarker == LogMarker::Rewritten);
}

void TForm1::ServerReadyRead()
{
    // What goes to the relay client for this burst goes out in one piece,
    // before the burst is logged and checked.
    toRelay.hold();
    DeferTraffic();
    // While the relay client is behind, the server's lines wait in the network.
    int burst = 0;
    const LineReader::End end =
        serverIn.drain([this, &burst] { return !toRelay.full() && burst < MaxServerBurstLines; },
                       [this, &burst](const QByteArray &line) {
                           ++burst;
                           if (!line.isEmpty())
                               RunHandler([this, &line] { ProcessServerLine(QString::fromLatin1(line)); });
                       });
    toRelay.release();
    EndDeferTraffic();
    if (burst > 0)
        spinAfterBurst = true;
    if (end == LineReader::Held && burst >= MaxServerBurstLines)
        ResumeReading(serverResumeQueued, [this] { ServerReadyRead(); });
    if (end == LineReader::Overflow) {
        // Nothing after this line could ever be read: take the link down.
        LogEvent(QStringLiteral("---------- Server line longer than %1 characters, connection closed")
                     .arg(MaxLineLength));
        IdTCPClient1Status(QStringLiteral("Disconnected."));
        ReleaseServerSocket();
        RunHandler([this] { IdTCPClient1Disconnected(); });
        return;
    }
    if (end == LineReader::Drained && serverIn.closeSeen)
        ServerClosed();
}

// A burst stopped at its bound: the rest is read once the events waiting
// meanwhile have had their turn.
void TForm1::ResumeReading(bool &queued, std::function<void()> read)
{
    if (queued)
        return;
    queued = true;
    QMetaObject::invokeMethod(
        this,
        [this, &queued, read = std::move(read)] {
            queued = false;
            read();
        },
        Qt::QueuedConnection);
}

void TForm1::ServerClosed()
{
    if (!IdTCPClient1)
        return;
    if (serverIn.busy()) {
        serverIn.closeSeen = true; // the drain under way ends the link
        return;
    }
    serverIn.closeSeen = false;
    // Lines that arrived before the close are handled first, the last one
    // even without its line end; a reader held back finishes them later.
    ServerReadyRead();
    if (!IdTCPClient1)
        return;
    if (serverIn.held()) {
        serverIn.closeSeen = true;
        return;
    }
    QByteArray rest;
    if (serverIn.takeRest(rest) && !rest.isEmpty())
        RunHandler([this, &rest] { ProcessServerLine(QString::fromLatin1(rest)); });
    if (!IdTCPClient1)
        return;
    ReleaseServerSocket();
    IdTCPClient1Status(QStringLiteral("Disconnected."));
    RunHandler([this] { IdTCPClient1Disconnected(); });
}

// One server line, handled to the end: the acknowledge, then the simulator's
// interception, then the route to the relay client or the window.
void TForm1::ProcessServerLine(const QString &received)
{
    lastReceivedLine = received;
    NoteAcknowledge(received);
    if (!RelayClientConnected()) {
        LogWithMarker(received, LogMarker::Server);
        InspectLine(check::Leg::Operator, check::Direction::FromServer, received);
        return;
    }
    QString line = received;
    const bool altered = InjectFault(line);
    RouteToRelayClient(line, altered);
    InspectLine(check::Leg::Operator, check::Direction::FromServer, received);
}
