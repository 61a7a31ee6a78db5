#pragma once
// What the tests and benchmarks do to the system around the program under
// test: peers with blocking sockets on threads of their own, signals to
// child processes, a file-size limit, a folder no one may write to, a child
// run with its peak memory, processor pinning. Not part of the program.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace platform::test {

// ---- Blocking loopback sockets (IPv4). Handles are closed with
// platform::CloseSocket; -1 means none.

// A listener on 127.0.0.1 at a free port, which goes to `port`.
qintptr ListenLoopback(quint16 *port, int backlog = 4);
// Waits for the next connection; -1 once the listener was shut.
qintptr Accept(qintptr listener);
// Connects to 127.0.0.1:`port`; -1 when refused. `noDelay` turns Nagle off.
qintptr ConnectLoopback(quint16 port, bool noDelay = false);
void SetNoDelay(qintptr socket);
// Writes all of `bytes`, waiting as needed; false when the peer has gone.
bool SendAll(qintptr socket, const char *data, qint64 size);
inline bool SendAll(qintptr socket, const QByteArray &bytes)
{
    return SendAll(socket, bytes.constData(), bytes.size());
}
// Waits for bytes: how many came, 0 at the peer's end (a FIN), -1 on a
// failure (a reset among others).
qint64 Receive(qintptr socket, char *into, qint64 size);
// Waits up to `ms` for something to read (bytes or an end).
bool WaitReadable(qintptr socket, int ms);
// Ends both directions: a thread blocked on the socket wakes up.
void ShutdownBoth(qintptr socket);
// Two connected local stream sockets.
bool SocketPair(qintptr pair[2]);

// ---- Processes

enum class Signal { Interrupt, Terminate };
bool SendSignal(qint64 pid, Signal signal);
// The process has its own handler for `signal` in place.
bool CatchesSignal(qint64 pid, Signal signal);
// The tests run with the rights that pass permission bits.
bool RunsAsRoot();
// The process runs under Wine, whose emulation of a few calls differs from
// Windows; a check that meets one of those differences skips there only.
bool UnderWine();
// The files, sockets and other system objects the process holds open.
int OpenHandles();

// Binds the thread or process `id` (0: the calling thread) to processor `cpu`.
void PinToProcessor(qint64 id, int cpu);
// The unit of the system's processor-time counters, per second.
double ClockTicksPerSecond();

// Runs `program` with `args` to its end, its standard output thrown away.
struct MeasuredRun {
    int status = -1; // the exit code, -1 when it didn't end normally
    double seconds = -1; // -1 when it couldn't be run
    qint64 peakKb = -1; // its largest resident size
    double cpuSeconds = -1; // processor time, user and system
};
MeasuredRun RunMeasured(const QString &program, const QStringList &args);

// ---- Files

// Makes every write beyond `bytes` fail (a file too large) while it lives:
// a full disk as seen by the program, and by the child processes started
// meanwhile. Works for root too, where permission bits would not stop a
// write.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool applied = false; // the limit is in force

private:
    quint64 oldSoft = 0, oldHard = 0;
    void (*previousHandler)(int) = nullptr;
    bool handlerSaved = false;
};

// Makes a folder one this thread cannot write into, also when the tests run
// as root: the mode loses its write bits and, where the system has them, the
// thread's rights that would pass them go too. All comes back at the end of
// the scope.
class UnwritableFolder {
public:
    explicit UnwritableFolder(const QString &folder);
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder &) = delete;
    UnwritableFolder &operator=(const UnwritableFolder &) = delete;
    // False when the system lets this thread write there anyway.
    bool holds() const;

private:
    QString path;
    quint32 saved[6] = {}; // the thread's rights before
    bool rightsSaved = false;
};

} // namespace platform::test
