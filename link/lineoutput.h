#pragma once
// Output to one peer. Bytes go to the system at once; while a burst of
// incoming lines is being handled (hold ... release), what is written is
// gathered and goes out in one piece when the burst is done. Either way the
// bytes keep their order, and nothing waits for a turn of the event loop.

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <functional>
#include <memory>

class QSocketNotifier;

class LineOutput {
public:
    LineOutput();
    ~LineOutput();
    LineOutput(const LineOutput &) = delete;
    LineOutput &operator=(const LineOutput &) = delete;

    // What may wait for one peer before the other side stops being read.
    static constexpr qint64 Bound = 4 * 1024 * 1024;

    void setSocket(QTcpSocket *socket); // a new peer, or none: what was gathered is dropped
    // The peer ended its input and its socket object has closed, but the
    // connection still takes bytes: they go to `fd` (a duplicate of the
    // socket's descriptor, now owned here) from then on. `written` is called
    // whenever queued bytes have gone out, `failed` when the peer has gone.
    void useDescriptor(qintptr fd, std::function<void()> written, std::function<void()> failed);
    bool onDescriptor() const { return fd >= 0; }
    // Ends the descriptor's connection with a FIN once what waits has gone
    // out, or after `graceMs` whatever is left.
    void closeDescriptor(int graceMs);
    void write(const QByteArray &bytes);
    // `line` and CR LF.
    void writeLine(QByteArrayView line);
    void hold() { ++holds; }
    void release();
    // Sends what was gathered, holding or not.
    void flush();
    // Bytes gathered or queued in the socket, not yet taken by the system.
    qint64 queued() const { return gathered.size() + pending.size() + (socket ? socket->bytesToWrite() : 0); }
    // The peer is behind: the side that feeds it waits until this clears.
    bool full() const { return queued() >= Bound; }

private:
    QPointer<QTcpSocket> socket;
    QByteArray gathered;
    static constexpr qsizetype KeptRoom = 1024 * 1024;
    int holds = 0;
    // Descriptor mode: what the system hasn't taken yet, and the notifier
    // that says when it takes more.
    qintptr fd = -1;
    QByteArray pending;
    std::unique_ptr<QSocketNotifier> writable;
    std::function<void()> onWritten, onFailed;
    void sendPending();
    void deliver(const QByteArray &bytes); // to the socket or the descriptor
};

// Writes `bytes` straight to the socket's descriptor when nothing is queued
// before them; whatever the system doesn't take at once is queued in the
// socket, which also reports any error the usual way.
void SendAtOnce(QTcpSocket *socket, const QByteArray &bytes);
