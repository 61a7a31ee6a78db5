#pragma once
// The incoming side of one peer: its socket, the bytes cut into lines, and
// the one loop that hands the lines on, one at a time, in arrival order. The
// server link and the relay session both read through it.
//
// A handler may keep the window live (a modal message box): readyRead can
// then come in again while a line is being handled. The inner drain call
// finds the reader busy and leaves the lines to the outer one.

#include "link/linesplitter.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <functional>

// What one read takes off a socket at most.
constexpr qint64 ReadChunk = 64 * 1024;
// The most lines one burst handles before the other side and the event loop
// get their turn; the rest of the burst follows at once (the server's bursts
// may be longer: ServerLink::BurstLines).
constexpr int MaxBurstLines = 512;
// The longest protocol line, in characters before the LF, a CR before it
// not counted: what I++ DME allows. A longer line ends the peer's input.
constexpr int MaxLineLength = 65536;

class LineReader {
public:
    enum End {
        Drained, // every complete line was handled; the rest waits for more bytes
        Held, // `goOn` said stop: the remaining lines wait for the next drain
        Overflow, // a line broke the length limit: nothing after it can be read
        Gone, // the socket went away, or another one took its place
        Busy // a drain was already under way further up the stack
    };

    void attach(QTcpSocket *s);
    void detach() { attach(nullptr); }
    QTcpSocket *peer() const { return socket; }

    // Hands every complete line (empty ones too) to `handle`, in order, while
    // `goOn` allows, reading more from the socket as the lines run out.
    End drain(const std::function<bool()> &goOn, const std::function<void(const QByteArray &)> &handle);
    bool busy() const { return draining; }
    // Takes the bytes waiting for this peer straight from the system, when
    // the socket holds none before them, no drain is under way and none was
    // held back: one call instead of the socket's own round of notice, size
    // query and read. The next drain hands their lines on. False when nothing
    // was taken; the socket's own reading then takes what comes, an end or an
    // error too.
    bool readDirect();
    // At the peer's close: the bytes after the last line end, as a line.
    bool takeRest(QByteArray &line) { return lines.takeRest(line); }
    // How the line last handed on ended on the wire (see LineSplitter).
    LineSplitter::Ending ending() const { return lines.ending(); }
    bool leadingCr() const { return lines.leadingCr(); }
    // The last drain stopped on `goOn` with lines left: the next one goes on.
    bool held() const { return stopped; }

    // The peer closed while a drain was under way: whoever ends the drain
    // takes the close.
    bool closeSeen = false;

private:
    QPointer<QTcpSocket> socket;
    LineSplitter lines{MaxLineLength};
    bool draining = false;
    bool stopped = false;
    QByteArray chunk; // what each read takes, kept from read to read
    char *readBuffer()
    {
        if (chunk.size() != ReadChunk)
            chunk.resize(ReadChunk);
        return chunk.data();
    }
};
