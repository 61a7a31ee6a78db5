#pragma once
// Everything Torvane asks of the operating system below Qt, in one place:
// socket reads and writes that never block, a look at readiness without
// sleeping, the half-close, a socket's second handle, the log's scratch
// file, memory straight from the system, and the termination signals.
//
// Handles are plain numbers as Qt hands them out (`socketDescriptor()`),
// -1 for none. No system type appears here, so that each system brings its
// own implementation file.

#include <QString>
#include <QtGlobal>
#include <functional>

class QObject;

namespace platform {

// ---- Sockets

// What a socket call that must not block found.
enum class Io : quint8 {
    Done, // bytes moved: as many as the result says, at least one
    WouldBlock, // nothing now; the connection stands
    Ended, // the peer ended its output (reading only)
    Failed // the connection is gone
};

struct IoResult {
    qint64 bytes;
    Io status;
};

// Takes up to `size` bytes that have arrived, without waiting.
IoResult ReceiveNow(qintptr socket, char *into, qint64 size);
// Hands the system as many of `size` bytes as it takes now, without waiting;
// a peer that has gone is Failed, never a signal to the process.
IoResult SendNow(qintptr socket, const char *from, qint64 size);

// What one socket has to read.
enum class Readiness : quint8 {
    Nothing,
    Data, // bytes, and nothing else
    Other // an end or an error waits, with bytes before it or without
};

// The most sockets one look takes in.
constexpr int MaxPolled = 4;

// Looks once, without waiting, whether `sockets` have something to read;
// negative handles and those past MaxPolled are left out. `ready[i]` says
// what `sockets[i]` has. True when any has something. Where the system can't
// tell an end apart from bytes, an end shows as Data; a read then finds it.
bool PollReadable(const qintptr *sockets, Readiness *ready, int count);

// Ends the output of the connection with a FIN; reading goes on.
bool ShutdownWrite(qintptr socket);
// A second handle on the same connection, not inherited by child
// processes, -1 when none can be had. The connection lasts while either
// handle is open.
qintptr DuplicateSocket(qintptr socket);
// Closes a handle this program opened itself (a duplicate, say).
void CloseSocket(qintptr socket);

// ---- The scratch file

// A new file in `folder` that no one else sees and that goes away with the
// program, even after a crash, where the system allows it. -1 when it can't
// be made; `error` then says why.
qintptr OpenScratchFile(const QString &folder, QString *error);
// Writes all `length` bytes at offset `at`. On false `error` says why (a
// full disk among others).
bool WriteAt(qintptr file, const char *data, qint64 length, qint64 at, QString *error);
// Reads exactly `length` bytes from offset `at`.
bool ReadAt(qintptr file, char *data, qint64 length, qint64 at);
void CloseFile(qintptr file);

// ---- Memory

// `bytes` of zeroed memory straight from the system, its pages made at once
// where the system can; null when there is none. Given back by UnmapPages,
// to the system, not to the heap.
char *MapPages(qint64 bytes);
void UnmapPages(char *data, qint64 bytes);

// ---- Ending the program

// Calls `handler` on `context`'s thread, from its event loop, when the
// program is asked to end (SIGINT, SIGTERM): the signal itself only leaves
// a note for the loop. A second request ends the program at once, the
// system's way. One handler at a time: a later call replaces it. It goes
// with `context`. False when the requests can't be caught.
bool OnTerminationRequest(QObject *context, std::function<void()> handler);
// From now on the program has `seconds` to end: after that `message` goes to
// standard error and the program ends with status 1, whatever it is doing.
void ExitAfter(int seconds, const char *message);

// ---- The standard streams

// Standard input, output and error carry bytes unchanged from now on: no
// line-end translation, and no end of input at a Ctrl+Z, where the system's
// C library would do either. Logs and protocol text go through them.
void BinaryStandardStreams();

// ---- The terminal

// Standard error goes to a terminal (someone watches it), not to a file or pipe.
bool StandardErrorIsTerminal();

} // namespace platform
