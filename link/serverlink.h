#pragma once
// The connection to the I++ DME server: connecting (a name look-up first
// when the host is not an address, each step with its bound), the lines the
// server sends, the commands written to it, and the orderly close. The
// window's link and the headless tap both use it.

#include "link/connection.h"

#include <QHostAddress>
#include <QString>

class QTimer;

class ServerLink : public LineConnection {
    Q_OBJECT
public:
    // The server's lines answer what is in flight already: their bursts may
    // be longer than a client's, so that commands in flight don't pile up
    // when a client sends without pause.
    static constexpr int BurstLines = 8 * MaxBurstLines;
    static constexpr int ConnectTimeoutMs = 500;
    static constexpr int ResolveTimeoutMs = 3000;

    explicit ServerLink(QObject *parent = nullptr);

    // Each step of an attempt, as the status line shows it.
    void setStatusHandler(std::function<void(const QString &)> handler) { onStatus = std::move(handler); }
    // The attempt's outcome: the link is up, or it could not be made.
    void setConnectHandlers(std::function<void()> connected, std::function<void()> failed)
    {
        onConnected = std::move(connected);
        onFailed = std::move(failed);
    }

    // Starts an attempt; `host` is an IPv4 address or a name.
    void connectTo(const QString &host, quint16 port);
    // An attempt is under way (look-up or connect).
    bool settling() const;
    // Gives up the attempt under way, as a failure.
    void failAttempt();
    // The link is let go in the orderly way; no end handler runs.
    void disconnectFromServer() { releaseSocket(); }

protected:
    void inputEnded(EndReason reason) override;

private:
    void connectToAddress(const QHostAddress &address, quint16 port);
    void linkUp();
    void status(const QString &text)
    {
        if (onStatus)
            onStatus(text);
    }

    QTimer *attemptTimer;
    QPointer<QTcpSocket> pending; // connecting, not yet up
    int lookupId = -1;
    quint64 attempt = 0; // counts connects, so a late failure of an old one is known
    std::function<void(const QString &)> onStatus;
    std::function<void()> onConnected, onFailed;
};
