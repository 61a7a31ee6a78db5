// The POSIX systems (Linux, the BSDs, macOS). What only Linux offers is used
// where it is there, with a plain fallback beside it.

#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef MAP_ANONYMOUS
#define MAP_ANONYMOUS MAP_ANON
#endif

namespace platform {

namespace {
// Writing to a peer that has gone must not raise SIGPIPE. Without the flag
// (macOS) Qt sets SO_NOSIGPIPE on its sockets, and a duplicate shares it.
#ifdef MSG_NOSIGNAL
constexpr int NoSignal = MSG_NOSIGNAL;
#else
constexpr int NoSignal = 0;
#endif

// A peer's end, not only a failure. Linux only: elsewhere the end shows as
// bytes to read, and the read that follows finds it.
#ifdef POLLRDHUP
constexpr short EndEvent = POLLRDHUP;
#else
constexpr short EndEvent = 0;
#endif

// A chunk of the log is filled from end to end: its pages are all made at
// once, not one by one as each is first written.
#ifdef MAP_POPULATE
constexpr int MapAtOnce = MAP_POPULATE;
#else
constexpr int MapAtOnce = 0;
#endif

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

IoResult ReceiveNow(qintptr socket, char *into, qint64 size)
{
    for (;;) {
        const ssize_t n = ::recv(int(socket), into, size_t(size), MSG_DONTWAIT);
        if (n > 0)
            return {qint64(n), Io::Done};
        if (n == 0)
            return {0, size > 0 ? Io::Ended : Io::WouldBlock};
        if (errno == EINTR)
            continue;
        return {0, wouldBlock(errno) ? Io::WouldBlock : Io::Failed};
    }
}

IoResult SendNow(qintptr socket, const char *from, qint64 size)
{
    for (;;) {
        const ssize_t n = ::send(int(socket), from, size_t(size), NoSignal | MSG_DONTWAIT);
        if (n > 0)
            return {qint64(n), Io::Done};
        if (n == 0)
            return {0, size > 0 ? Io::Failed : Io::WouldBlock};
        if (errno == EINTR)
            continue;
        return {0, wouldBlock(errno) ? Io::WouldBlock : Io::Failed};
    }
}

bool PollReadable(const qintptr *sockets, Readiness *ready, int count)
{
    pollfd polled[MaxPolled];
    int index[MaxPolled];
    nfds_t n = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = Readiness::Nothing;
        if (sockets[i] >= 0 && n < MaxPolled) {
            index[n] = i;
            polled[n++] = pollfd{int(sockets[i]), short(POLLIN | EndEvent), 0};
        }
    }
    if (n == 0 || ::poll(polled, n, 0) <= 0)
        return false;
    for (nfds_t i = 0; i < n; ++i) {
        if (polled[i].revents != 0)
            ready[index[i]] = polled[i].revents == POLLIN ? Readiness::Data : Readiness::Other;
    }
    return true;
}

bool ShutdownWrite(qintptr socket)
{
    return ::shutdown(int(socket), SHUT_WR) == 0;
}

qintptr DuplicateSocket(qintptr socket)
{
    if (socket < 0)
        return -1;
    return ::fcntl(int(socket), F_DUPFD_CLOEXEC, 0);
}

void CloseSocket(qintptr socket)
{
    if (socket >= 0)
        ::close(int(socket));
}

qintptr OpenScratchFile(const QString &folder, QString *error)
{
    QByteArray name = QFile::encodeName(QDir(folder).filePath(QStringLiteral("torvane-log-XXXXXX")));
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        if (error)
            *error = systemError(errno);
        return -1;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Gone from the folder at once: the file lives as long as the program.
    ::unlink(name.constData());
    return fd;
}

bool WriteAt(qintptr file, const char *data, qint64 length, qint64 at, QString *error)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(int(file), data, size_t(length), off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = systemError(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        at += n;
        length -= n;
    }
    return true;
}

bool ReadAt(qintptr file, char *data, qint64 length, qint64 at)
{
    while (length > 0) {
        const ssize_t n = ::pread(int(file), data, size_t(length), off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        at += n;
        length -= n;
    }
    return true;
}

void CloseFile(qintptr file)
{
    if (file >= 0)
        ::close(int(file));
}

char *MapPages(qint64 bytes)
{
    void *p = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MapAtOnce,
                     -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

void UnmapPages(char *data, qint64 bytes)
{
    if (data)
        ::munmap(data, size_t(bytes));
}

// ---- Termination requests: the handler only writes one byte into a pipe;
// the read end is watched by the event loop. The handler resets itself, so a
// second request ends the program at once.

namespace {
int signalPipe[2] = {-1, -1};
QPointer<QSocketNotifier> signalNotifier;

extern "C" void OnTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool makeSignalPipe()
{
    if (signalPipe[0] >= 0)
        return true;
    if (::pipe(signalPipe) != 0)
        return false;
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

char overdueMessage[256];
size_t overdueLength = 0;

extern "C" void OnOverdue(int)
{
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, overdueMessage, overdueLength);
    ::_exit(1);
}
} // namespace

bool OnTerminationRequest(QObject *context, std::function<void()> handler)
{
    if (!makeSignalPipe())
        return false;
    delete signalNotifier.data();
    signalNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(signalNotifier.data(), &QSocketNotifier::activated, signalNotifier.data(),
                     [handler = std::move(handler)] {
                         char buffer[16];
                         while (::read(signalPipe[0], buffer, sizeof buffer) > 0) { }
                         handler();
                     });
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

void ExitAfter(int seconds, const char *message)
{
    overdueLength = qMin(std::strlen(message), sizeof overdueMessage);
    std::memcpy(overdueMessage, message, overdueLength);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnOverdue;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(unsigned(qMax(1, seconds)));
}

void BinaryStandardStreams()
{
    // Bytes are bytes here already.
}

bool StandardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace platform
