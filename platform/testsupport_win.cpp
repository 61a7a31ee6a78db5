// Windows. The peers' sockets are in non-blocking mode, as Qt's are, so that
// the program's calls never wait on them either; the blocking calls here wait
// with WSAPoll in short slices, and a socket shut with ShutdownBoth wakes
// whoever waits on it (a listener can't be shut on this system).

#include "platform/testsupport.h"

#include "platform/platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/win32.h"
#include <aclapi.h>
#include <psapi.h>

namespace platform::test {

namespace {
struct Winsock {
    Winsock()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
} winsock;

SOCKET sock(qintptr handle)
{
    return SOCKET(handle);
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

std::mutex shutLock;
std::set<qintptr> shut; // handles ShutdownBoth was called on

bool isShut(qintptr socket)
{
    std::lock_guard<std::mutex> hold(shutLock);
    return shut.count(socket) != 0;
}

// A handle value made anew is no longer the one that was shut.
qintptr fresh(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return -1;
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    std::lock_guard<std::mutex> hold(shutLock);
    shut.erase(qintptr(s));
    return qintptr(s);
}

qintptr newSocket()
{
    return fresh(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

// Waits until `socket` has `events` (or an end or error), up to `ms`
// (negative: as long as it takes). False on the time-out and once the socket
// was shut.
bool waitFor(qintptr socket, short events, int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (isShut(socket))
            return false;
        const qint64 left = ms < 0 ? 50 : qMin<qint64>(50, ms - clock.elapsed());
        if (left < 0)
            return false;
        WSAPOLLFD p{sock(socket), events, 0};
        const int n = ::WSAPoll(&p, 1, int(left));
        if (n > 0)
            return true;
        if (n < 0)
            return false;
        if (ms >= 0 && clock.elapsed() >= ms)
            return false;
    }
}

int lastError()
{
    return ::WSAGetLastError();
}

QString TerminationEventName(qint64 pid)
{
    // As platform_win.cpp names it.
    return QStringLiteral("Local\\TorvaneTerminate-%1").arg(pid);
}

std::wstring wide(const QString &s)
{
    return s.toStdWString();
}

// The command line of CreateProcess: each argument quoted the way the C
// runtime splits it again.
QString quoted(const QString &arg)
{
    if (!arg.isEmpty() && !arg.contains(QLatin1Char(' ')) && !arg.contains(QLatin1Char('\t'))
        && !arg.contains(QLatin1Char('"')))
        return arg;
    QString out = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : arg) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            backslashes = backslashes * 2 + 1;
        out += QString(backslashes, QLatin1Char('\\'));
        backslashes = 0;
        out += c;
    }
    out += QString(backslashes * 2, QLatin1Char('\\'));
    out += QLatin1Char('"');
    return out;
}
} // namespace

qintptr ListenLoopback(quint16 *port, int backlog)
{
    const qintptr s = newSocket();
    sockaddr_in addr = loopback(0);
    int len = sizeof addr;
    if (s < 0 || ::bind(sock(s), reinterpret_cast<sockaddr *>(&addr), len) != 0
        || ::listen(sock(s), backlog) != 0
        || ::getsockname(sock(s), reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        platform::CloseSocket(s);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return s;
}

qintptr Accept(qintptr listener)
{
    for (;;) {
        const SOCKET s = ::accept(sock(listener), nullptr, nullptr);
        if (s != INVALID_SOCKET)
            return fresh(s);
        if (lastError() != WSAEWOULDBLOCK || !waitFor(listener, POLLRDNORM, -1))
            return -1;
    }
}

qintptr ConnectLoopback(quint16 port, bool noDelay)
{
    const qintptr s = newSocket();
    if (s < 0)
        return -1;
    if (noDelay)
        SetNoDelay(s);
    const sockaddr_in addr = loopback(port);
    if (::connect(sock(s), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        int error = lastError();
        if (error == WSAEWOULDBLOCK && waitFor(s, POLLWRNORM, 30000)) {
            int len = sizeof error;
            if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) != 0)
                error = lastError();
        }
        if (error != 0) {
            platform::CloseSocket(s);
            return -1;
        }
    }
    return s;
}

void SetNoDelay(qintptr socket)
{
    const BOOL one = TRUE;
    ::setsockopt(sock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

bool SendAll(qintptr socket, const char *data, qint64 size)
{
    while (size > 0) {
        const int n = ::send(sock(socket), data, int(qMin<qint64>(size, 1 << 30)), 0);
        if (n > 0) {
            data += n;
            size -= n;
            continue;
        }
        if (n < 0 && lastError() == WSAEWOULDBLOCK && waitFor(socket, POLLWRNORM, -1))
            continue;
        return false;
    }
    return true;
}

qint64 Receive(qintptr socket, char *into, qint64 size)
{
    for (;;) {
        const int n = ::recv(sock(socket), into, int(qMin<qint64>(size, 1 << 30)), 0);
        if (n >= 0)
            return n;
        if (lastError() != WSAEWOULDBLOCK)
            return -1;
        if (!waitFor(socket, POLLRDNORM, -1))
            return isShut(socket) ? 0 : -1; // shut here: as the end
    }
}

bool WaitReadable(qintptr socket, int ms)
{
    return waitFor(socket, POLLRDNORM, ms);
}

void ShutdownBoth(qintptr socket)
{
    if (socket < 0)
        return;
    {
        std::lock_guard<std::mutex> hold(shutLock);
        shut.insert(socket);
    }
    ::shutdown(sock(socket), SD_BOTH);
}

// No socketpair here: two ends of a loopback connection.
bool SocketPair(qintptr pair[2])
{
    quint16 port = 0;
    const qintptr listener = ListenLoopback(&port, 1);
    if (listener < 0)
        return false;
    pair[0] = ConnectLoopback(port);
    pair[1] = pair[0] >= 0 ? Accept(listener) : -1;
    platform::CloseSocket(listener);
    if (pair[1] < 0) {
        platform::CloseSocket(pair[0]);
        return false;
    }
    return true;
}

// Both requests are the one this system has for another process: the event
// named after it that platform::OnTerminationRequest watches.
bool SendSignal(qint64 pid, Signal)
{
    const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, wide(TerminationEventName(pid)).c_str());
    if (!event)
        return false;
    const bool ok = ::SetEvent(event) != 0;
    ::CloseHandle(event);
    return ok;
}

bool CatchesSignal(qint64 pid, Signal)
{
    const HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, wide(TerminationEventName(pid)).c_str());
    if (!event)
        return false;
    ::CloseHandle(event);
    return true;
}

// Permission bits as Qt sets them are only the read-only attribute here: they
// don't keep anyone from reading a file.
bool RunsAsRoot()
{
    return true;
}

bool UnderWine()
{
    // Wine's ntdll exports its version; Windows' has no such entry.
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

namespace {
// What NtQuerySystemInformation gives for SystemExtendedHandleInformation.
constexpr ULONG ExtendedHandleInformation = 64;
constexpr LONG InfoLengthMismatch = LONG(0xC0000004);
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
using QuerySystem = LONG(NTAPI *)(ULONG, PVOID, ULONG, PULONG);
} // namespace

int OpenHandles()
{
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0)
        return int(count);
    // Wine answers 0 there; its table of every process's handles is kept.
    const auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<char> table(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = query(ExtendedHandleInformation, table.data(), ULONG(table.size()), &needed))
           == InfoLengthMismatch) {
        if (table.size() >= (size_t(1) << 30))
            return -1;
        table.resize(qMax(table.size() * 2, size_t(needed)));
    }
    if (status != 0)
        return -1;
    const auto *t = reinterpret_cast<const HandleTable *>(table.data());
    int mine = 0;
    for (ULONG_PTR i = 0; i < t->count; ++i) {
        if (t->entries[i].processId == ::GetCurrentProcessId())
            ++mine;
    }
    return mine;
}

void PinToProcessor(qint64 id, int cpu)
{
    const DWORD_PTR mask = DWORD_PTR(1) << cpu;
    if (id == 0) {
        ::SetThreadAffinityMask(::GetCurrentThread(), mask);
        return;
    }
    const HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, DWORD(id));
    if (thread) {
        ::SetThreadAffinityMask(thread, mask);
        ::CloseHandle(thread);
    }
}

// Processor times come in units of 100 ns.
double ClockTicksPerSecond()
{
    return 1e7;
}

MeasuredRun RunMeasured(const QString &program, const QStringList &args)
{
    MeasuredRun r;
    QString line = quoted(QDir::toNativeSeparators(program));
    for (const QString &a : args)
        line += QLatin1Char(' ') + quoted(a);
    std::wstring commandLine = wide(line);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = nul;
    start.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    QElapsedTimer clock;
    clock.start();
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &start, &child);
    if (nul != INVALID_HANDLE_VALUE)
        ::CloseHandle(nul);
    if (!started)
        return r;
    ::WaitForSingleObject(child.hProcess, INFINITE);
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    PROCESS_MEMORY_COUNTERS memory{};
    if (::K32GetProcessMemoryInfo(child.hProcess, &memory, sizeof memory))
        r.peakKb = qint64(memory.PeakWorkingSetSize / 1024);
    FILETIME created, ended, kernel, user;
    if (::GetProcessTimes(child.hProcess, &created, &ended, &kernel, &user)) {
        const auto ticks = [](const FILETIME &t) {
            return (quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        r.cpuSeconds = double(ticks(kernel) + ticks(user)) / ClockTicksPerSecond();
    }
    DWORD code = 0;
    if (::GetExitCodeProcess(child.hProcess, &code))
        r.status = int(code);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return r;
}

// No limit on one process's file size exists here: `applied` stays false.
FileSizeLimit::FileSizeLimit(qint64) { }

FileSizeLimit::~FileSizeLimit() = default;

namespace {
// The access lists before, by folder (the class has no room of its own for them).
std::map<QString, PSECURITY_DESCRIPTOR> &savedAccess()
{
    static std::map<QString, PSECURITY_DESCRIPTOR> saved;
    return saved;
}
} // namespace

// The folder's access list gets an entry that denies this user adding or
// changing anything in it, handed down to what it holds; the list before
// comes back at the end. (Wine keeps access lists but doesn't enforce them:
// holds() tells.)
UnwritableFolder::UnwritableFolder(const QString &folder) : path(folder)
{
    std::wstring name = wide(QDir::toNativeSeparators(path));
    PACL old = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &old, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return;
    savedAccess()[path] = descriptor;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    char user[256];
    DWORD length = 0;
    const bool known = ::GetTokenInformation(token, TokenUser, user, sizeof user, &length);
    ::CloseHandle(token);
    if (!known)
        return;
    EXPLICIT_ACCESSW deny{};
    deny.grfAccessPermissions = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_DATA | FILE_APPEND_DATA
        | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    deny.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    deny.Trustee.TrusteeType = TRUSTEE_IS_USER;
    deny.Trustee.ptstrName = reinterpret_cast<LPWSTR>(reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
    PACL denied = nullptr;
    if (::SetEntriesInAclW(1, &deny, old, &denied) == ERROR_SUCCESS) {
        ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                denied, nullptr);
        ::LocalFree(denied);
    }
}

UnwritableFolder::~UnwritableFolder()
{
    const auto saved = savedAccess().find(path);
    if (saved == savedAccess().end())
        return;
    const PSECURITY_DESCRIPTOR before = saved->second;
    savedAccess().erase(saved);
    std::wstring name = wide(QDir::toNativeSeparators(path));
    PACL old = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (::GetSecurityDescriptorDacl(before, &present, &old, &defaulted) && present)
        ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, old, nullptr);
    ::LocalFree(before);
}

bool UnwritableFolder::holds() const
{
    QFile probe(path + QStringLiteral("/.probe"));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true;
    probe.close();
    probe.remove();
    return false;
}

} // namespace platform::test
