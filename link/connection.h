#pragma once
// One peer of the program: its socket, the lines read from it and the bytes
// written to it. The server link (ServerLink) and the relay client's session
// (RelaySession) are each one of these, and this one read loop serves both.
// No widgets: the window and the headless tap use the same objects.
//
// Lines are handed on one at a time, in arrival order, in bursts. A burst is
// what the socket holds, up to a bound of lines; what is written to the
// partner (the other peer) during a burst goes out in one piece at its end.
// While the partner's output is full, this peer's lines wait in the network
// (backpressure); reading goes on once the partner has caught up.
//
// A handler may keep the event loop running (a modal message box), so a
// read can come in again while a line is being handled: the inner one finds
// the reader busy and leaves the lines, and a close seen meanwhile, to the
// outer one.

#include "link/lineoutput.h"
#include "link/linereader.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QObject>
#include <QPointer>

#include <functional>

class QTcpSocket;
class QuickLook;

class LineConnection : public QObject {
    Q_OBJECT
public:
    // Why a peer's input ended.
    enum class EndReason {
        Closed, // the peer closed; its last line, even without a line end, was handled
        LineTooLong // a line broke the length limit: nothing after it can be read
    };

    LineConnection(int burstLines, QObject *parent = nullptr);
    ~LineConnection() override;

    // Each line, without its line end (empty lines too).
    void setLineHandler(std::function<void(const QByteArray &line)> handler) { onLine = std::move(handler); }
    // Around each burst of lines: the window logs and checks a burst's lines
    // only once the burst has been forwarded.
    void setBurstHandlers(std::function<void()> begin, std::function<void()> end)
    {
        onBurstBegin = std::move(begin);
        onBurstEnd = std::move(end);
    }
    // The peer's input ended (after the socket was let go, for the server
    // link; before the session ends, for the relay client).
    void setEndHandler(std::function<void(EndReason)> handler) { onEnd = std::move(handler); }
    // Lines also wait while this says no (a link still settling).
    void setReadGate(std::function<bool()> gate) { readGate = std::move(gate); }
    // Pairs two peers both ways: each one's bursts are gathered for the
    // other, and each one waits while the other's output is full.
    static void Pair(LineConnection *a, LineConnection *b);
    void setQuickLook(QuickLook *look) { quickLook = look; }

    QTcpSocket *socket() const { return sock; }
    bool isOpen() const { return sock != nullptr; }

    // Bytes to the peer, in order; a line gets CR LF.
    void write(const QByteArray &bytes) { out.write(bytes); }
    void writeLine(QByteArrayView line);
    // How the line being handled ended on the wire, and whether its first
    // byte is the CR of the line before's LF CR.
    LineSplitter::Ending lineEnding() const { return in.ending(); }
    bool leadingCr() const { return in.leadingCr(); }
    // Bytes gathered or queued for this peer, not yet taken by the system.
    qint64 queued() const { return out.queued(); }
    bool outputFull() const { return out.full(); }
    // This peer's lines wait (its partner is behind, or the gate is shut).
    bool readingHeld() const { return in.held(); }

    // Handles what the socket holds, as far as the bounds allow.
    void readNow();
    // Takes the bytes waiting for this peer straight from the system (see
    // LineReader::readDirect).
    bool readDirect() { return in.readDirect(); }

    // The bound of lines one burst handles before the event loop gets a turn.
    int burstLines() const { return burstBound; }

    // The partner caught up: this peer's waiting lines go on.
    void partnerDrained();

protected:
    // A connected socket becomes this peer: its bytes are read from now on.
    void attachSocket(QTcpSocket *socket);
    // The peer is let go: what was written still goes out, then the
    // connection ends with a FIN (see CloseGracefully). Returns nothing to
    // read or write afterwards.
    void releaseSocket();
    // The socket stays, but nothing more is read from it.
    void stopReading() { in.detach(); }
    // What happens when the input ends; by default the end handler.
    virtual void inputEnded(EndReason reason);

    LineReader in;
    LineOutput out;
    LineConnection *partner = nullptr;
    std::function<void(EndReason)> onEnd;

private:
    void resumeLater();

    QPointer<QTcpSocket> sock;
    int burstBound;
    bool resumeQueued = false;
    std::function<void(const QByteArray &)> onLine;
    std::function<void()> onBurstBegin, onBurstEnd;
    std::function<bool()> readGate;
    QuickLook *quickLook = nullptr;
};

// What was written to `socket` still goes out, then the connection closes
// with a FIN; a peer that doesn't take it within a second is reset.
// Whatever the peer still sends is read and let go until its own end of
// stream: a socket closed with unread bytes would answer with a reset.
void CloseGracefully(QTcpSocket *socket);

// For the programs without a window, at their end: once every socket in
// `closing` (closed gracefully) is gone, or after `waitMs`, the event loop
// exits with `status()`.
void ExitWhenClosed(QObject *owner, QList<QPointer<QTcpSocket>> *closing, std::function<int()> status,
                    int waitMs = 2000);

// A command line's "[ADDR:]PORT" or "HOST:PORT"; false when the port is no port.
bool SplitHostPort(const QString &text, QString *host, quint16 *port);

// In lock-step traffic the answer to what was just relayed comes within
// microseconds, and going to sleep for that wait costs more than the wait.
// So after a relayed burst, the next time the event loop would block, it
// first asks the system for a little while, without sleeping, whether either
// peer has sent more, and handles it at once. Only plain bytes are taken
// this way: an end or an error, a socket that holds bytes of its own, and a
// reader held back all go the socket's usual way, so the stream keeps its
// order. One such turn lasts at most 1 ms.
class QuickLook : public QObject {
    Q_OBJECT
public:
    // Looks at `a` and `b` while `active` says so (a relay is under way).
    QuickLook(LineConnection *a, LineConnection *b, std::function<bool()> active, QObject *parent = nullptr);
    // A burst was handled: the next time the loop would sleep, look first.
    void arm() { armed = true; }

private:
    void look();
    LineConnection *a, *b;
    std::function<bool()> active;
    bool armed = false;
};
