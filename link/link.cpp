// Server link: connecting, disconnecting and the handling of every line the
// server sends.

#include "app/tform1.h"
#include "link/protocol.h"
#include "log/timestamp.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QCheckBox>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int ConnectTimeoutMs = 500;
constexpr int EndSessionWaitMs = 900;
constexpr qint64 ReadChunk = 64 * 1024;
} // namespace

void TForm1::BtConnectClick()
{
    if (serverConnected) {
        if (disconnecting)
            return;
        disconnecting = true;
        ClearOnExit reset{disconnecting};
        if (sessionOpen) {
            BtStartClick();
            WaitLive(EndSessionWaitMs);
        }
        if (!serverConnected || !IdTCPClient1)
            return;
        IdTCPClient1Status(QStringLiteral("Disconnecting."));
        ReleaseServerSocket();
        IdTCPClient1Disconnected();
        IdTCPClient1Status(QStringLiteral("Disconnected."));
        return;
    }

    QString host = EdHost->text().trimmed();
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    int port = 0;
    if (!ParseIntStrict(EdPort->text(), port))
        throw HandlerError(NotAnIntegerMessage(EdPort->text()));

    auto fail = [this] {
        IdTCPClient1Status(QStringLiteral("Error: Cannot connect ..."));
        clearToSend = false;
    };
    if (port < 0 || port > 65535)
        return fail();

    QHostAddress address;
    if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        IdTCPClient1Status(QStringLiteral("Resolving hostname %1.").arg(host));
        address.clear();
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress &a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                address = a;
                break;
            }
        }
        if (address.isNull())
            return fail();
    }
    IdTCPClient1Status(QStringLiteral("Connecting to %1.").arg(address.toString()));

    // The attempt ends (up or failed) before any later event is handled, so
    // whatever caused it - the operator or a relay client - meets a settled link.
    auto *socket = new QTcpSocket(this);
    socket->setObjectName(QStringLiteral("IdTCPClient1"));
    socket->connectToHost(address, quint16(port));
    if (!socket->waitForConnected(ConnectTimeoutMs)) {
        socket->abort();
        delete socket;
        return fail();
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    IdTCPClient1 = socket;
    toServer.setSocket(socket);
    serverLines.clear();
    connect(socket, &QTcpSocket::readyRead, this, [this] { ServerReadyRead(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] { ServerClosed(); });
    IdTCPClient1Status(QStringLiteral("Connected."));
    IdTCPClient1Connected();
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] { ServerReadyRead(); }, Qt::QueuedConnection);
}

void TForm1::IdTCPClient1Connected()
{
    LogEvent(QStringLiteral("---------- Connected") + FormatConnectionStamp(QDateTime::currentDateTime()));
    serverConnected = true;
    UpdateConnectionControls();
    CbFreeze->setChecked(false);
    SetFrozen(false);
    clearToSend = true;
}

void TForm1::IdTCPClient1Disconnected()
{
    LogEvent(QStringLiteral("---------- Disconnected") + FormatConnectionStamp(QDateTime::currentDateTime()));
    serverConnected = false;
    sessionOpen = false;
    UpdateSessionControls();
    UpdateConnectionControls();
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
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    serverLines.clear();
}

void TForm1::WriteServerLine(const QString &line)
{
    if (!IdTCPClient1 || IdTCPClient1->state() != QAbstractSocket::ConnectedState)
        throw HandlerError(QStringLiteral("Not Connected"));
    toServer.write(WireLine(line));
}

// Lines are handled one at a time, in arrival order. A handler that keeps the
// window live (a message box, a wait) may let readyRead in again: the outer
// loop is still draining, so the inner call leaves the lines to it.
void TForm1::ServerReadyRead()
{
    if (serverDraining)
        return;
    serverDraining = true;
    // What goes to the relay client for this burst goes out in one piece.
    toRelay.hold();
    QPointer<QTcpSocket> socket = IdTCPClient1;
    while (socket && socket == IdTCPClient1) {
        QByteArray line;
        const LineSplitter::Result r = serverLines.next(line);
        if (r == LineSplitter::Line) {
            if (line.isEmpty())
                continue;
            lastReceivedLine = QString::fromLatin1(line);
            RunHandler([this] { ProcessServerLine(); });
            continue;
        }
        if (r == LineSplitter::Overflow) {
            // Nothing after this line could ever be read: take the link down.
            LogEvent(QStringLiteral("---------- Server line longer than 16384 characters, connection closed"));
            IdTCPClient1Status(QStringLiteral("Disconnected."));
            ReleaseServerSocket();
            serverClosedWhileDraining = false;
            RunHandler([this] { IdTCPClient1Disconnected(); });
            break;
        }
        if (socket->bytesAvailable() > 0) {
            serverLines.feed(socket->read(qMin(socket->bytesAvailable(), ReadChunk)));
            continue;
        }
        break;
    }
    serverDraining = false;
    toRelay.release();
    if (serverClosedWhileDraining) {
        serverClosedWhileDraining = false;
        ServerClosed();
    }
}

void TForm1::ServerClosed()
{
    if (!IdTCPClient1)
        return;
    if (serverDraining) {
        serverClosedWhileDraining = true;
        return;
    }
    // Lines that arrived before the close are handled first.
    ServerReadyRead();
    if (!IdTCPClient1)
        return;
    ReleaseServerSocket();
    IdTCPClient1Status(QStringLiteral("Disconnected."));
    RunHandler([this] { IdTCPClient1Disconnected(); });
}

void TForm1::ProcessServerLine()
{
    QString line = lastReceivedLine;
    const QString stamp = TimeStampPrefix();
    bool altered = false;

    if (line.size() >= 7 && line.at(6) == QLatin1Char('&')) {
        clearToSend = true;
        TimerCTS->stop();
    }
    if (!RelayClientConnected()) {
        if (PassesExcludeFilter(line))
            AppendLog(stamp + QStringLiteral("<<< ") + line);
        return;
    }
    const QString tag = GetTag(line);
    const QChar type = GetType(line);
    if (!interceptTag.isEmpty() && type == QLatin1Char('#') && tag == interceptTag) {
        if (cbError->isChecked())
            line = tag + QStringLiteral(" ! Error(2, 1006, PtMeas,\"no Touch\")");
        else if (cbToolError->isChecked())
            line = tag + QStringLiteral(" ! Error(2, 2100, PtMeas,\"Tool not appropriate, Server initiated Tool Change\")");
        altered = true;
        interceptTag.clear();
        cbError->setChecked(false);
        cbToolError->setChecked(false);
    }
    if (!operatorTags.contains(tag)) {
        WriteRelayLine(line);
        if (PassesExcludeFilter(line))
            AppendLog(stamp + (altered ? QStringLiteral("<F< ") : QStringLiteral("<$< ")) + line);
    } else {
        if (type == QLatin1Char('%'))
            operatorTags.removeAll(tag);
        if (PassesExcludeFilter(line))
            AppendLog(stamp + QStringLiteral("<<< ") + line);
    }
}
