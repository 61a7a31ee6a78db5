// Relay: the listener on the relay port, the one relay-client session, and
// the route of the server's lines to it.
//
// The session lives on the UI thread like the server link: the client's bytes
// are cut into lines and each line is handled to the end before the next one
// is looked at. The connect handling may start bringing the server link up;
// the client's lines wait until that attempt has settled, so a client that
// talks at once still reaches the server.

#include "app/tform1.h"
#include "check/protocolchecker.h"
#include "link/protocol.h"
#include "link/readspin.h"
#include "log/markers.h"
#include "log/timestamp.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int ListenBacklog = 15;
// Open commands followed for a client that ends its input; more are not noted.
constexpr int MaxOpenTags = 100000;
constexpr int DescriptorGraceMs = 1000;
const char BindError[] = "Could not bind socket. Address and port are already in use.";
} // namespace

// ---------------------------------------------------------------- listener

void TForm1::StartRelayListener()
{
    if (IdTCPServer1->isListening())
        IdTCPServer1->close();
    IdTCPServer1->setListenBacklogSize(ListenBacklog);
    if (!IdTCPServer1->listen(relayBindAddress, listenPort))
        throw HandlerError(QString::fromLatin1(BindError));
    listenPort = IdTCPServer1->serverPort();
}

void TForm1::StopRelayListener()
{
    IdTCPServer1->close();
    DropRelayClient();
}

void TForm1::RelayNewConnection()
{
    while (IdTCPServer1->hasPendingConnections()) {
        QTcpSocket *socket = IdTCPServer1->nextPendingConnection();
        if (!socket)
            break;
        if (relayConnection || relayLeaving || endSessionTimer->isActive()) {
            // One client at a time, and none while the link is going down:
            // the newcomer is closed unheard.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        StartRelaySession(socket);
    }
}

void TForm1::StartRelaySession(QTcpSocket *socket)
{
    socket->setObjectName(QStringLiteral("relayConnection"));
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bytes the session hasn't taken yet stay in the network's hands.
    socket->setReadBufferSize(ReadChunk);
    relayConnection = socket;
    toRelay.setSocket(socket);
    relayInputDone = false;
    relayOpenTags.clear();
    relayDescriptor = ::fcntl(int(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    connect(socket, &QTcpSocket::readyRead, this, [this] { RelayReadyRead(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] { RelayClosed(); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (serverIn.held() && !toRelay.full())
            ServerReadyRead(); // the relay client has caught up with the server
    });

    // No line is read before the connect handling is done, even if it keeps
    // the window live (an error box).
    RunHandler([this] { IdTCPServer1Connect(); });
    if (relayConnection != socket)
        return;
    relayIn.attach(socket);
    RelayReadyRead();
}

// ---------------------------------------------------------------- session

void TForm1::IdTCPServer1Connect()
{
    LogEvent(QStringLiteral("---------- Client connected to our server")
             + FormatConnectionStamp(QDateTime::currentDateTime()));
    InspectReset(check::Leg::Relay);
    operatorTags.clear();
    if (serverConnected)
        serverWasConnected = true;
    else
        RunHandler([this] { BtConnectClick(); });
    relayStatusText = QStringLiteral("Relaying from client");
    ShowRelayStatus();
    CbFreeze->setChecked(false);
    SetFrozen(false);
}

void TForm1::IdTCPServer1Execute(const QByteArray &line)
{
    if (line.isEmpty()) {
        AppendLog(QStringLiteral(">$> ---------- timeout"));
        InspectLine(check::Leg::Relay, check::Direction::ToServer, QString());
        return;
    }
    if (!serverConnected) {
        // Nowhere to go: logged as received, and said so.
        LogWithMarker(QString::fromLatin1(line), LogMarker::FromRelay);
        InspectLine(check::Leg::Relay, check::Direction::ToServer, lastLogText);
        LogEvent(QStringLiteral("---------- Not forwarded: no server link"));
        return;
    }
    // A backspace takes back the character before it.
    const bool hasBackspace = line.contains('\b');
    QByteArray edited;
    if (hasBackspace) {
        edited.reserve(line.size());
        for (const char c : line) {
            if (c != '\b')
                edited.append(c);
            else if (!edited.isEmpty())
                edited.chop(1);
        }
    }
    const QString command = QString::fromLatin1(hasBackspace ? edited : line);
    LogWithMarker(command, LogMarker::FromRelay);
    InspectLine(check::Leg::Relay, check::Direction::ToServer, command);
    if (relayOpenTags.size() < MaxOpenTags)
        relayOpenTags.insert(GetTag(command));
    DispatchCommand(command, true);
}

void TForm1::IdTCPServer1Disconnect()
{
    LogEvent(QStringLiteral("---------- Client disconnected to our server")
             + FormatConnectionStamp(QDateTime::currentDateTime()));
    InspectReset(check::Leg::Relay);
    if (!serverWasConnected && serverConnected)
        RunHandler([this] { BtConnectClick(); });
    serverWasConnected = false;
    relayStatusText.clear();
    ShowRelayStatus();
    relayConnection = nullptr;
    operatorTags.clear();
}

// Lines are handled one at a time, in arrival order, at most one chunk read
// ahead. They wait while the server link is settling.
void TForm1::RelayReadyRead()
{
    if (relayLeaving)
        return;
    // What goes to the server for this burst goes out in one piece, before
    // the burst is logged and checked.
    toServer.hold();
    DeferTraffic();
    int burst = 0;
    const LineReader::End end = relayIn.drain(
        [this, &burst] {
            return !relayLeaving && !LinkSettling() && !toServer.full() && burst < MaxBurstLines;
        },
        [this, &burst](const QByteArray &line) {
            ++burst;
            RunHandler([this, &line] { IdTCPServer1Execute(line); });
        });
    toServer.release();
    EndDeferTraffic();
    if (burst > 0)
        spinAfterBurst = true;
    if (end == LineReader::Held && burst >= MaxBurstLines)
        ResumeReading(relayResumeQueued, [this] { RelayReadyRead(); });
    if (end == LineReader::Drained && relayIn.closeSeen) {
        // The client's last line counts even without its line end.
        QByteArray rest;
        if (relayIn.takeRest(rest))
            RunHandler([this, &rest] { IdTCPServer1Execute(rest); });
    }
    if (end == LineReader::Overflow)
        DropRelayClient();
    else if (end == LineReader::Drained && relayIn.closeSeen)
        RelayInputEnded();
}

// In lock-step traffic the answer to what was just relayed comes within
// microseconds: the loop looks for it before it goes to sleep, once a burst,
// and handles it at once.
void TForm1::AwaitNextBurst()
{
    // The rest of the loop's work waits this long at most.
    constexpr qint64 MaxTurnNs = 1000 * 1000;
    QElapsedTimer turn;
    turn.start();
    while (spinAfterBurst && relayConnection && !relayLeaving && turn.nsecsElapsed() < MaxTurnNs) {
        spinAfterBurst = false;
        QTcpSocket *server = serverIn.peer();
        QTcpSocket *client = relayIn.peer();
        const int fds[] = {server ? int(server->socketDescriptor()) : -1,
                           client ? int(client->socketDescriptor()) : -1};
        Readiness ready[2];
        if (!SpinUntilReadable(fds, ready, 2, ReadSpinNs))
            break;
        // Only plain bytes are taken here; an end or an error goes the
        // socket's own way.
        if (ready[0] == Readiness::Data && serverIn.readDirect())
            ServerReadyRead();
        if (ready[1] == Readiness::Data && relayConnection && relayIn.readDirect())
            RelayReadyRead();
    }
    spinAfterBurst = false;
}

// The client has sent its last line. It may still be reading: the replies to
// its open commands go to it until their '%' or the time bound, and then it
// leaves.
void TForm1::RelayInputEnded()
{
    if (!relayConnection || relayLeaving || relayInputDone)
        return;
    if (relayOpenTags.isEmpty() || relayDescriptor < 0 || !serverConnected) {
        DropRelayClient();
        return;
    }
    relayInputDone = true;
    relayIn.detach();
    toRelay.useDescriptor(
        relayDescriptor,
        [this] {
            if (serverIn.held() && !toRelay.full())
                ServerReadyRead();
        },
        [this] { DropRelayClient(); });
    relayDescriptor = -1;
    relayReplyWait->start(relayReplyWaitMs);
}

// A '%' went to the client: that command is complete.
void TForm1::NoteRelayReplyDone(const QString &line)
{
    relayOpenTags.remove(GetTag(line));
    if (relayInputDone && relayOpenTags.isEmpty())
        relayReplyWait->start(0); // the leave handling, once this burst is through
}

void TForm1::RelayClosed()
{
    if (!relayConnection || relayLeaving)
        return;
    // Lines that arrived before the close are handled first; whoever ends
    // the drain ends the session.
    relayIn.closeSeen = true;
    RelayReadyRead();
}

// Ends the session: the connection is closed (what was written still goes
// out) and the leave handling runs, once.
void TForm1::DropRelayClient()
{
    if (!relayConnection || relayLeaving)
        return;
    relayLeaving = true;
    relayReplyWait->stop();
    QTcpSocket *socket = relayConnection;
    toRelay.flush();
    toRelay.closeDescriptor(DescriptorGraceMs);
    toRelay.setSocket(nullptr);
    if (relayDescriptor >= 0) {
        ::close(relayDescriptor); // the socket's own descriptor still holds the connection
        relayDescriptor = -1;
    }
    relayIn.detach();
    CloseGracefully(socket);
    relayInputDone = false;
    relayOpenTags.clear();
    RunHandler([this] { IdTCPServer1Disconnect(); });
    relayConnection = nullptr;
    relayLeaving = false;
}

// ---------------------------------------------------------------- listen port

void TForm1::edListenPortExit()
{
    // The status shows the outcome for a moment; another exit meanwhile is
    // ignored, so the remembered status stays the one from before.
    if (listenPortRestore->isActive() || closed)
        return;
    const QString remembered = LaStatus->text();
    int newPort = 0;
    int serverPort = 0;
    if (!ParseIntStrict(edListenPort->text(), newPort))
        throw HandlerError(NotAnIntegerMessage(edListenPort->text()));
    if (!ParseIntStrict(EdPort->text(), serverPort))
        throw HandlerError(NotAnIntegerMessage(EdPort->text()));

    if (newPort == serverPort) {
        LaStatus->setText(QStringLiteral("Err: PORT #"));
    } else if (!relayStatusText.trimmed().isEmpty()) {
        LaStatus->setText(QStringLiteral("Err: Server Connected"));
    } else {
        if (newPort < 1 || newPort > 65535)
            throw HandlerError(QStringLiteral("'%1' is not a valid port number").arg(edListenPort->text()));
        LaStatus->setText(QStringLiteral("Server Reset"));
        IdTCPServer1->close();
        // The typed port is the relay port from now on, even when it can't be
        // bound: it is the one kept in the settings.
        listenPort = quint16(newPort);
        StartRelayListener();
    }

    listenPortRestore->disconnect(this);
    connect(listenPortRestore, &QTimer::timeout, this, [this, remembered] {
        LaStatus->setText(remembered);
        edListenPort->setText(QString::number(listenPort));
    });
    listenPortRestore->start(listenPortRestoreMs);
}

// ---------------------------------------------------------------- writing

bool TForm1::RelayClientConnected() const
{
    return relayConnection && !relayLeaving
        && (relayInputDone || relayConnection->state() == QAbstractSocket::ConnectedState);
}

void TForm1::WriteRelayLine(const QString &line)
{
    if (!RelayClientConnected())
        return;
    toRelay.write(line.toLatin1() + "\r\n");
    if (relayOpenTags.isEmpty())
        return;
    // Most lines show their type at once; only a line led by control bytes
    // needs the full look.
    const bool leadingControl = !line.isEmpty() && line.at(0).unicode() <= ' ';
    if (leadingControl ? GetType(line) == QLatin1Char('%')
                       : line.size() > 6 && line.at(6) == QLatin1Char('%'))
        NoteRelayReplyDone(line);
}

// ---------------------------------------------------------------- routing

// A server line while a relay client is connected: the replies to the
// operator's own commands stay in the window, everything else goes to the
// client. `altered`: the simulator changed the line on its way.
void TForm1::RouteToRelayClient(const QString &line, bool altered)
{
    const QString tag = GetTag(line);
    if (!operatorTags.contains(tag)) {
        WriteRelayLine(line);
        LogWithMarker(line, altered ? LogMarker::Faked : LogMarker::ToRelay);
        InspectLine(check::Leg::Relay, check::Direction::FromServer, line, altered);
        return;
    }
    if (GetType(line) == QLatin1Char('%'))
        operatorTags.removeAll(tag);
    LogWithMarker(line, LogMarker::Server);
}
