#include "platform/testsupport.h"

#include "platform/platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#endif

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace platform::test {

namespace {
sockaddr_in loopback(quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

int newSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

int signalNumber(Signal signal)
{
    return signal == Signal::Interrupt ? SIGINT : SIGTERM;
}
} // namespace

qintptr ListenLoopback(quint16 *port, int backlog)
{
    const int fd = newSocket();
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        platform::CloseSocket(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

qintptr Accept(qintptr listener)
{
    for (;;) {
        const int fd = ::accept(int(listener), nullptr, nullptr);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

qintptr ConnectLoopback(quint16 port, bool noDelay)
{
    const int fd = newSocket();
    if (fd < 0)
        return -1;
    if (noDelay)
        SetNoDelay(fd);
    const sockaddr_in addr = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SetNoDelay(qintptr socket)
{
    const int one = 1;
    ::setsockopt(int(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SendAll(qintptr socket, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::send(int(socket), data, size_t(size), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

qint64 Receive(qintptr socket, char *into, qint64 size)
{
    for (;;) {
        const ssize_t n = ::recv(int(socket), into, size_t(size), 0);
        if (n >= 0 || errno != EINTR)
            return n < 0 ? -1 : qint64(n);
    }
}

bool WaitReadable(qintptr socket, int ms)
{
    pollfd p{int(socket), POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

void ShutdownBoth(qintptr socket)
{
    if (socket >= 0)
        ::shutdown(int(socket), SHUT_RDWR);
}

bool SocketPair(qintptr pair[2])
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    pair[0] = fds[0];
    pair[1] = fds[1];
    return true;
}

bool SendSignal(qint64 pid, Signal signal)
{
    return ::kill(pid_t(pid), signalNumber(signal)) == 0;
}

bool CatchesSignal(qint64 pid, Signal signal)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask >> (signalNumber(signal) - 1) & 1) != 0;
        }
    }
    return false;
}

bool RunsAsRoot()
{
    return ::geteuid() == 0;
}

bool UnderWine()
{
    return false;
}

int OpenHandles()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

void PinToProcessor(qint64 id, int cpu)
{
#ifdef Q_OS_LINUX
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ::sched_setaffinity(pid_t(id), sizeof set, &set);
#else
    Q_UNUSED(id);
    Q_UNUSED(cpu);
#endif
}

double ClockTicksPerSecond()
{
    return double(::sysconf(_SC_CLK_TCK));
}

MeasuredRun RunMeasured(const QString &program, const QStringList &args)
{
    MeasuredRun r;
    const QByteArray path = QFile::encodeName(program);
    QList<QByteArray> encoded;
    for (const QString &a : args)
        encoded << a.toLocal8Bit();
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.constData()));
    for (QByteArray &a : encoded)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout))
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru { };
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) < 0)
        return r;
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    r.peakKb = qint64(ru.ru_maxrss);
    r.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
        + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    previousHandler = previous == SIG_ERR ? SIG_DFL : previous;
    handlerSaved = true;
    rlimit old{};
    if (::getrlimit(RLIMIT_FSIZE, &old) != 0)
        return;
    oldSoft = quint64(old.rlim_cur);
    oldHard = quint64(old.rlim_max);
    rlimit small = old;
    small.rlim_cur = rlim_t(bytes);
    applied = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (applied) {
        rlimit old{};
        old.rlim_cur = rlim_t(oldSoft);
        old.rlim_max = rlim_t(oldHard);
        ::setrlimit(RLIMIT_FSIZE, &old);
    }
    if (handlerSaved)
        std::signal(SIGXFSZ, previousHandler);
}

#ifdef Q_OS_LINUX
static_assert(sizeof(__user_cap_data_struct[2]) == sizeof(quint32[6]), "two sets of three 32-bit masks");
#endif

UnwritableFolder::UnwritableFolder(const QString &folder) : path(folder)
{
    ::chmod(QFile::encodeName(path).constData(), 0555);
#ifdef Q_OS_LINUX
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (::syscall(SYS_capget, &header, caps) == 0) {
        std::memcpy(saved, caps, sizeof saved);
        rightsSaved = true;
        caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_FOWNER));
        ::syscall(SYS_capset, &header, caps);
    }
#endif
}

UnwritableFolder::~UnwritableFolder()
{
#ifdef Q_OS_LINUX
    if (rightsSaved) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        std::memcpy(caps, saved, sizeof saved);
        ::syscall(SYS_capset, &header, caps);
    }
#endif
    ::chmod(QFile::encodeName(path).constData(), 0755);
}

bool UnwritableFolder::holds() const
{
    const QByteArray probe = QFile::encodeName(path) + "/.probe";
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return true;
    ::close(fd);
    ::unlink(probe.constData());
    return false;
}

} // namespace platform::test
