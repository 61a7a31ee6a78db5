// Relay: the listener on the relay port and the one relay-client session.
//
// The session lives on the UI thread like the server link: the client's bytes
// are cut into lines and each line is handled to the end before the next one
// is looked at. The connect handling (which may bring the server link up, a
// blocking connect of at most 500 ms) finishes before the client's first line
// is handled, so a client that talks at once still reaches the server.

#include "app/tform1.h"
#include "link/protocol.h"
#include "log/timestamp.h"

#include <QDateTime>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int ListenBacklog = 15;
constexpr qint64 ReadChunk = 64 * 1024;
// A client that stops reading must not keep a closing connection for ever.
constexpr int CloseGraceMs = 2000;
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
        if (relayConnection || relayLeaving) {
            // One client at a time: the newcomer is closed unheard.
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
    relayLines.clear();
    relayClosePending = false;
    connect(socket, &QTcpSocket::readyRead, this, [this] { RelayReadyRead(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] { RelayClosed(); });

    // No line is handled before the connect handling is done, even if it
    // keeps the window live (an error box).
    relayDraining = true;
    RunHandler([this] { IdTCPServer1Connect(); });
    relayDraining = false;
    if (relayConnection == socket)
        RelayReadyRead();
}

// ---------------------------------------------------------------- session

void TForm1::IdTCPServer1Connect()
{
    LogEvent(QStringLiteral("---------- Client connected to our server")
             + FormatConnectionStamp(QDateTime::currentDateTime()));
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
        return;
    }
    const QString stamp = TimeStampPrefix();
    if (!serverConnected)
        return;
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
    AppendLog(stamp + QStringLiteral(">$> ") + command);
    DispatchCommand(command, true);
}

void TForm1::IdTCPServer1Disconnect()
{
    LogEvent(QStringLiteral("---------- Client disconnected to our server")
             + FormatConnectionStamp(QDateTime::currentDateTime()));
    if (!serverWasConnected && serverConnected)
        RunHandler([this] { BtConnectClick(); });
    serverWasConnected = false;
    relayStatusText.clear();
    ShowRelayStatus();
    relayConnection = nullptr;
    operatorTags.clear();
}

// Lines are handled one at a time, in arrival order, at most one chunk read
// ahead. A handler that keeps the window live may let readyRead in again: the
// outer loop is still draining, so the inner call leaves the lines to it.
void TForm1::RelayReadyRead()
{
    if (relayDraining || relayLeaving)
        return;
    relayDraining = true;
    // What goes to the server for this burst goes out in one piece.
    toServer.hold();
    const QPointer<QTcpSocket> socket = relayConnection;
    bool overflow = false;
    while (socket && socket == relayConnection && !relayLeaving) {
        QByteArray line;
        const LineSplitter::Result r = relayLines.next(line);
        if (r == LineSplitter::Line) {
            RunHandler([this, &line] { IdTCPServer1Execute(line); });
            continue;
        }
        if (r == LineSplitter::Overflow) {
            overflow = true;
            break;
        }
        if (socket->bytesAvailable() > 0) {
            relayLines.feed(socket->read(qMin(socket->bytesAvailable(), ReadChunk)));
            continue;
        }
        break;
    }
    relayDraining = false;
    toServer.release();
    if (socket && socket == relayConnection && (overflow || relayClosePending))
        DropRelayClient();
}

void TForm1::RelayClosed()
{
    if (!relayConnection || relayLeaving)
        return;
    relayClosePending = true;
    if (relayDraining)
        return;  // the draining loop ends the session when it is done
    // Lines that arrived before the close are handled first.
    RelayReadyRead();
}

// Ends the session: the connection is closed (what was written still goes
// out) and the leave handling runs, once.
void TForm1::DropRelayClient()
{
    if (!relayConnection || relayLeaving)
        return;
    relayLeaving = true;
    QTcpSocket *socket = relayConnection;
    toRelay.flush();
    toRelay.setSocket(nullptr);
    socket->disconnect(this);
    relayLines.clear();
    relayClosePending = false;
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
    } else {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(CloseGraceMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
    }
    RunHandler([this] { IdTCPServer1Disconnect(); });
    relayConnection = nullptr;
    relayLeaving = false;
}

// ---------------------------------------------------------------- listen port

void TForm1::edListenPortExit()
{
    if (listenPortChanging || closed)
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

    listenPortChanging = true;
    ClearOnExit reset{listenPortChanging};
    repaint();
    WaitLive(listenPortRestoreMs);
    LaStatus->setText(remembered);
    edListenPort->setText(QString::number(listenPort));
}

// ---------------------------------------------------------------- writing

bool TForm1::RelayClientConnected() const
{
    return relayConnection && !relayLeaving
        && relayConnection->state() == QAbstractSocket::ConnectedState;
}

void TForm1::WriteRelayLine(const QString &line)
{
    if (!RelayClientConnected())
        return;
    toRelay.write(line.toLatin1() + "\r\n");
}
