// Relay: the listener on the relay port, the one relay-client session, and
// the route of the server's lines to it. The session itself (the listener,
// the client's socket, reader and writer, the wait for its last replies) is
// the RelaySession IdTCPServer1; the window handles what it reports.
//
// The client's lines are handled on the UI thread like the server's, one at
// a time, each to the end before the next one is looked at. The connect
// handling may start bringing the server link up; the client's lines wait
// until that attempt has settled, so a client that talks at once still
// reaches the server.

#include "app/tform1.h"
#include "check/markers.h"
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
const char BindError[] = "Could not bind socket. Address and port are already in use.";
} // namespace

void TForm1::BuildRelaySession()
{
    IdTCPServer1 = new RelaySession(this);
    // One client at a time, and none while the link is going down.
    IdTCPServer1->setAcceptGate([this] { return !endSessionTimer->isActive(); });
    IdTCPServer1->setSessionHandlers(
        [this](QTcpSocket *socket) {
            relayConnection = socket;
            IdTCPServer1->replyWaitMs = relayReplyWaitMs;
            RunHandler([this] { IdTCPServer1Connect(); });
        },
        [this] {
            RunHandler([this] { IdTCPServer1Disconnect(); });
            relayConnection = nullptr;
        });
    IdTCPServer1->setBurstHandlers([this] { traffic.hold(); }, [this] { traffic.release(); });
    IdTCPServer1->setLineHandler([this](const QByteArray &line) {
        HandleReceived(IdTCPServer1, [&] { RunHandler([this, &line] { IdTCPServer1Execute(line); }); });
    });
    IdTCPServer1->setEndHandler([this](LineConnection::EndReason reason) {
        if (reason == LineConnection::EndReason::LineTooLong)
            LogEvent(QStringLiteral("---------- Client line longer than %1 characters, connection closed")
                         .arg(MaxLineLength));
        // A client that closed with commands open is kept for their replies:
        // said once the session has decided to wait.
        if (reason == LineConnection::EndReason::Closed)
            QTimer::singleShot(0, this, [this] { ShowRelayReplyWait(); });
    });
    // The client's lines wait while the link is settling.
    IdTCPServer1->setReadGate([this] { return !LinkSettling(); });
    LineConnection::Pair(IdTCPClient1, IdTCPServer1);
    quickLook = new QuickLook(
        IdTCPClient1, IdTCPServer1, [this] { return relayConnection && !IdTCPServer1->leaving(); }, this);
    IdTCPClient1->setQuickLook(quickLook);
    IdTCPServer1->setQuickLook(quickLook);
}

// ---------------------------------------------------------------- listener

void TForm1::StartRelayListener()
{
    if (!IdTCPServer1->listen(relayBindAddress, listenPort))
        throw HandlerError(QString::fromLatin1(BindError));
    listenPort = IdTCPServer1->serverPort();
}

void TForm1::StopRelayListener()
{
    IdTCPServer1->stopListening();
    DropRelayClient();
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
    else if (!ReplayServes())
        RunHandler([this] { BtConnectClick(); });
    relayStatusText = QStringLiteral("Relaying from client");
    ShowRelayStatus();
    CbFreeze->setChecked(false);
    SetFrozen(false);
}

void TForm1::IdTCPServer1Execute(const QByteArray &line)
{
    if (line.isEmpty()) {
        // Logged as the timeout line.
        Publish(check::Leg::Relay, check::Direction::ToServer, QByteArray(), LogMarker::FromRelay);
        return;
    }
    if (ReplayRelayLine(line))
        return;
    if (!serverConnected) {
        // Nowhere to go: logged as received, and said so.
        Publish(check::Leg::Relay, check::Direction::ToServer, line, LogMarker::FromRelay);
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
    const QByteArray &command = hasBackspace ? edited : line;
    Publish(check::Leg::Relay, check::Direction::ToServer, command, LogMarker::FromRelay);
    DispatchCommand(command, true);
}

void TForm1::IdTCPServer1Disconnect()
{
    LogEvent(QStringLiteral("---------- Client disconnected to our server")
             + FormatConnectionStamp(QDateTime::currentDateTime()));
    InspectReset(check::Leg::Relay);
    ReplayRelayLeft();
    if (!serverWasConnected && serverConnected)
        RunHandler([this] { BtConnectClick(); });
    serverWasConnected = false;
    relayStatusText.clear();
    ShowRelayStatus();
    relayConnection = nullptr;
    operatorTags.clear();
}

void TForm1::ShowRelayReplyWait()
{
    if (!IdTCPServer1->finishing() || IdTCPServer1->leaving())
        return;
    const int open = IdTCPServer1->openCommands();
    const QString seconds = QString::number(double(IdTCPServer1->replyWaitMs) / 1000.0, 'g', 3);
    LogEvent(
        QStringLiteral("---------- Client closed its side: waiting up to %1 s for the replies to %2 open %3")
            .arg(seconds)
            .arg(open)
            .arg(open == 1 ? QStringLiteral("command") : QStringLiteral("commands")));
    relayStatusText = QStringLiteral("Client closed, waiting for %1 %2 (up to %3 s)")
                          .arg(open)
                          .arg(open == 1 ? QStringLiteral("reply") : QStringLiteral("replies"))
                          .arg(seconds);
    ShowRelayStatus();
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
        IdTCPServer1->stopListening();
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
    return IdTCPServer1->clientConnected();
}

void TForm1::WriteRelayLine(const QByteArray &line, QLatin1String marker, bool own)
{
    if (!RelayClientConnected())
        return;
    IdTCPServer1->writeLine(line);
    Publish(check::Leg::Relay, check::Direction::FromServer, line, marker, own);
}

// ---------------------------------------------------------------- routing

// A server line while a relay client is connected: the replies to the
// operator's own commands stay in the window, everything else goes to the
// client. `altered`: the simulator changed the line on its way. True when
// the line went to the client.
bool TForm1::RouteToRelayClient(const QByteArray &line, bool altered)
{
    const QByteArrayView tag = GetTag(QByteArrayView(line));
    if (operatorTags.isEmpty() || !operatorTags.contains(tag)) {
        WriteRelayLine(line, altered ? LogMarker::Faked : LogMarker::ToRelay, altered);
        return true;
    }
    if (GetType(QByteArrayView(line)) == '%')
        operatorTags.removeAll(tag.toByteArray());
    return false;
}
