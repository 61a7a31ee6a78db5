// Server link: connecting, disconnecting and the handling of every line the
// server sends. The connection itself (its socket, reader and writer, the
// connect attempt and its bounds) is the ServerLink IdTCPClient1; the window
// handles what it reports.
//
// While an attempt runs the link is "settling"; a relay client's lines wait,
// in order, until it has settled, so that its first command meets a link
// that is up (or known to have failed).

#include "app/tform1.h"
#include "check/markers.h"
#include "link/protocol.h"
#include "log/timestamp.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int EndSessionWaitMs = 900;
} // namespace

void TForm1::BuildServerLink()
{
    IdTCPClient1 = new ServerLink(this);
    IdTCPClient1->setObjectName(QStringLiteral("IdTCPClient1"));
    IdTCPClient1->setStatusHandler([this](const QString &text) { IdTCPClient1Status(text); });
    IdTCPClient1->setConnectHandlers([this] { ServerLinkUp(); }, [this] { FailConnect(); });
    IdTCPClient1->setBurstHandlers([this] { traffic.hold(); }, [this] { traffic.release(); });
    IdTCPClient1->setLineHandler([this](const QByteArray &line) {
        if (!line.isEmpty())
            HandleReceived(IdTCPClient1, [&] { RunHandler([this, &line] { ProcessServerLine(line); }); });
    });
    IdTCPClient1->setEndHandler([this](LineConnection::EndReason reason) { ServerInputEnded(reason); });
}

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
    IdTCPClient1->connectTo(host, quint16(port));
}

void TForm1::FailConnect()
{
    IdTCPClient1Status(QStringLiteral("Error: Cannot connect ..."));
    clearToSend = false;
    LinkSettled();
}

void TForm1::ServerLinkUp()
{
    IdTCPClient1Status(QStringLiteral("Connected."));
    RunHandler([this] { IdTCPClient1Connected(); });
    LinkSettled();
}

bool TForm1::LinkSettling() const
{
    return IdTCPClient1->settling();
}

// The attempt is over, one way or the other: a relay client's held lines go on.
void TForm1::LinkSettled()
{
    if (relayConnection)
        IdTCPServer1->readNow();
}

void TForm1::FinishDisconnect()
{
    endSessionTimer->stop();
    if (!serverConnected || !IdTCPClient1->isOpen())
        return;
    IdTCPClient1Status(QStringLiteral("Disconnecting."));
    IdTCPClient1->disconnectFromServer();
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
    ReplayServerGone();
    DropRelayClient();
    clearToSend = false;
}

void TForm1::IdTCPClient1Status(const QString &text)
{
    LaStatus->setText(text);
}

// The server's input is over (the link is let go already): it closed, or it
// sent a line that can never be read.
void TForm1::ServerInputEnded(LineConnection::EndReason reason)
{
    if (reason == LineConnection::EndReason::LineTooLong)
        LogEvent(QStringLiteral("---------- Server line longer than %1 characters, connection closed")
                     .arg(MaxLineLength));
    IdTCPClient1Status(QStringLiteral("Disconnected."));
    RunHandler([this] { IdTCPClient1Disconnected(); });
}

void TForm1::WriteServerLine(const QByteArray &line, bool own, bool relayed)
{
    if (!IdTCPClient1->isOpen() || IdTCPClient1->socket()->state() != QAbstractSocket::ConnectedState)
        throw HandlerError(QStringLiteral("Not Connected"));
    // A CR or LF inside the line would end it early on the wire: it goes as a blank.
    if (line.contains('\r') || line.contains('\n'))
        IdTCPClient1->write(WireLine(line));
    else
        IdTCPClient1->writeLine(line);
    if (relayed)
        PublishRelayed(check::Direction::ToServer, line, own);
    else
        Publish(check::Leg::Operator, check::Direction::ToServer, line, QLatin1String(), own);
}

// One server line, handled to the end: the acknowledge, then the simulator's
// interception, then the route to the relay client or the window.
void TForm1::ProcessServerLine(const QByteArray &received)
{
    lastReceivedLine = received;
    NoteAcknowledge(received);
    if (!RelayClientConnected()) {
        Publish(check::Leg::Operator, check::Direction::FromServer, received, LogMarker::Server);
        ReplayServerLine(received);
        return;
    }
    QByteArray line = received;
    const bool altered = InjectFault(line);
    if (RouteToRelayClient(line, altered)) {
        // The line as the server sent it, on the server's leg: its log line
        // is the one just written.
        PublishRelayed(check::Direction::FromServer, received);
    } else if (altered) {
        LogWithMarker(line, LogMarker::Server);
        Publish(check::Leg::Operator, check::Direction::FromServer, received, QLatin1String());
    } else {
        Publish(check::Leg::Operator, check::Direction::FromServer, received, LogMarker::Server);
    }
    // After its own log line: what a replay sends in answer comes below it.
    ReplayServerLine(received);
}
