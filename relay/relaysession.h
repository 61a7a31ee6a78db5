#pragma once
// The relay port: the listener, and the session with its one client at a
// time. The client's lines are handed on as they come; what is written to
// it goes out in order, with backpressure towards the server link.
//
// A client that ends its input may still be reading: the replies to its
// open commands go to it until their '%', for at most `replyWaitMs`, and
// then the session ends. Its socket object has closed by then, so they go
// through a duplicate of its descriptor.

#include "link/connection.h"
#include "relay/opentags.h"

#include <QHostAddress>

class QTcpServer;
class QTimer;

class RelaySession : public LineConnection {
    Q_OBJECT
public:
    static constexpr int ListenBacklog = 15;
    // Open commands followed for a client that ends its input; more are not noted.
    static constexpr int MaxOpenTags = 100000;
    static constexpr int DefaultReplyWaitMs = 5000;

    explicit RelaySession(QObject *parent = nullptr);
    ~RelaySession() override;

    QTcpServer *listener() const { return server; }
    // False when the address and port can't be bound.
    bool listen(const QHostAddress &address, quint16 port);
    void stopListening();
    bool isListening() const;
    quint16 serverPort() const;

    // A newcomer is let in only while this says yes (and no client is on).
    void setAcceptGate(std::function<bool()> gate) { acceptGate = std::move(gate); }
    // A client arrived: `arrived` runs before any of its lines is read; it
    // may end the session. `left` runs once, when the session has ended.
    void setSessionHandlers(std::function<void(QTcpSocket *)> arrived, std::function<void()> left)
    {
        onArrived = std::move(arrived);
        onLeft = std::move(left);
    }

    // Each of the client's lines (hides the base's: the session notes the
    // commands it still owes replies for).
    void setLineHandler(std::function<void(const QByteArray &line)> handler);

    // The client's connection, while a session is on (also while it waits
    // for its last replies).
    QTcpSocket *client() const { return clientSocket; }
    // The client can still be written to.
    bool clientConnected() const;
    // The client has ended its input and waits for its last replies.
    bool finishing() const { return inputDone; }
    // The session's leave handling is under way.
    bool leaving() const { return isLeaving; }
    int openCommands() const { return openTags.size(); }

    // A line to the client, CR LF added; a '%' completes its command.
    void writeLine(QByteArrayView line);
    // Ends the session: the connection is closed (what was written still
    // goes out) and the leave handler runs, once.
    void drop();

    // How long a client that ended its input waits for its last replies.
    int replyWaitMs = DefaultReplyWaitMs;

protected:
    void inputEnded(EndReason reason) override;

private:
    void newConnection();
    void start(QTcpSocket *socket);
    void awaitReplies();
    void noteCommand(const QByteArray &line);

    QTcpServer *server;
    QTimer *replyWait;
    QPointer<QTcpSocket> clientSocket;
    qintptr descriptor = -1; // the duplicate, until it is handed to the output
    bool inputDone = false;
    bool isLeaving = false;
    OpenTags openTags;
    std::function<bool()> acceptGate;
    std::function<void(QTcpSocket *)> onArrived;
    std::function<void()> onLeft;
};
