#pragma once
// Output to one peer. Bytes go to the system at once; while a burst of
// incoming lines is being handled (hold ... release), what is written is
// gathered and goes out in one piece when the burst is done. Either way the
// bytes keep their order, and nothing waits for a turn of the event loop.

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>

class LineOutput {
public:
    // What may wait for one peer before the other side stops being read.
    static constexpr qint64 Bound = 4 * 1024 * 1024;

    void setSocket(QTcpSocket *socket); // a new peer, or none: what was gathered is dropped
    void write(const QByteArray &bytes);
    void hold() { ++holds; }
    void release();
    // Sends what was gathered, holding or not.
    void flush();
    // Bytes gathered or queued in the socket, not yet taken by the system.
    qint64 queued() const { return gathered.size() + (socket ? socket->bytesToWrite() : 0); }
    // The peer is behind: the side that feeds it waits until this clears.
    bool full() const { return queued() >= Bound; }

private:
    QPointer<QTcpSocket> socket;
    QByteArray gathered;
    int holds = 0;
};

// Writes `bytes` straight to the socket's descriptor when nothing is queued
// before them; whatever the system doesn't take at once is queued in the
// socket, which also reports any error the usual way.
void SendAtOnce(QTcpSocket *socket, const QByteArray &bytes);
