// Relay: the listener on the relay port and the one relay-client session.

#include "app/tform1.h"

#include <QTcpServer>
#include <QTcpSocket>

void TForm1::StartRelayListener() {}
void TForm1::StopRelayListener() {}
void TForm1::IdTCPServer1Connect() {}
void TForm1::IdTCPServer1Execute(const QByteArray &) {}
void TForm1::IdTCPServer1Disconnect() {}
void TForm1::edListenPortExit() {}
void TForm1::RelayNewConnection() {}
void TForm1::RelayReadyRead() {}
void TForm1::RelayClosed() {}

bool TForm1::RelayClientConnected() const
{
    return relayConnection && relayConnection->state() == QAbstractSocket::ConnectedState;
}

void TForm1::WriteRelayLine(const QString &line)
{
    if (!RelayClientConnected())
        return;
    relayConnection->write(line.toLatin1() + "\r\n");
    relayConnection->flush();
}
