// Windows: Winsock and the Win32 API. The sockets are Qt's, which Qt keeps in
// non-blocking mode (Winsock has no per-call flag for it); so are the test
// support's.

#include "platform/platform.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QPointer>
#include <QWinEventNotifier>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

#include <fcntl.h>
#include <io.h>

namespace platform {

namespace {
// Winsock is up before the first call, also in a program whose first socket
// is not Qt's.
struct Winsock {
    Winsock()
    {
        WSADATA data;
        up = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock()
    {
        if (up)
            ::WSACleanup();
    }
    bool up = false;
} winsock;

SOCKET sock(qintptr handle)
{
    return SOCKET(handle);
}

HANDLE file(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// The system's own words for a Win32 error code (qt_error_string reads
// small codes as errno values).
QString systemError(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                         | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = n > 0 ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
    ::LocalFree(text);
    if (message.isEmpty())
        message = QStringLiteral("Windows error %1").arg(error);
    return message;
}

// One call moves at most this much: Winsock and ReadFile/WriteFile count in
// 32 bits.
constexpr qint64 MaxPerCall = 1 << 30;
} // namespace

IoResult ReceiveNow(qintptr socket, char *into, qint64 size)
{
    if (size <= 0)
        return {0, Io::WouldBlock};
    for (;;) {
        const int n = ::recv(sock(socket), into, int(qMin(size, MaxPerCall)), 0);
        if (n > 0)
            return {qint64(n), Io::Done};
        if (n == 0)
            return {0, Io::Ended};
        const int error = ::WSAGetLastError();
        if (error == WSAEINTR)
            continue;
        return {0, error == WSAEWOULDBLOCK ? Io::WouldBlock : Io::Failed};
    }
}

IoResult SendNow(qintptr socket, const char *from, qint64 size)
{
    if (size <= 0)
        return {0, Io::WouldBlock};
    for (;;) {
        // No signal to fear on this system: a gone peer is an error code.
        const int n = ::send(sock(socket), from, int(qMin(size, MaxPerCall)), 0);
        if (n > 0)
            return {qint64(n), Io::Done};
        if (n == 0)
            return {0, Io::Failed};
        const int error = ::WSAGetLastError();
        if (error == WSAEINTR)
            continue;
        return {0, error == WSAEWOULDBLOCK ? Io::WouldBlock : Io::Failed};
    }
}

bool PollReadable(const qintptr *sockets, Readiness *ready, int count)
{
    WSAPOLLFD polled[MaxPolled];
    int index[MaxPolled];
    ULONG n = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = Readiness::Nothing;
        if (sockets[i] >= 0 && n < MaxPolled) {
            index[n] = i;
            polled[n++] = WSAPOLLFD{sock(sockets[i]), POLLRDNORM, 0};
        }
    }
    if (n == 0 || ::WSAPoll(polled, n, 0) <= 0)
        return false;
    for (ULONG i = 0; i < n; ++i) {
        // The peer's end shows as POLLHUP, a failure as POLLERR.
        if (polled[i].revents != 0)
            ready[index[i]] = polled[i].revents == POLLRDNORM ? Readiness::Data : Readiness::Other;
    }
    return true;
}

bool ShutdownWrite(qintptr socket)
{
    return ::shutdown(sock(socket), SD_SEND) == 0;
}

// A second SOCKET on the same connection, made from the first's protocol
// record, as for a socket handed to another process; here the process is
// this one. The connection ends when the last of them is closed: closing
// Qt's handle (Qt does at the peer's FIN) leaves this one writing.
qintptr DuplicateSocket(qintptr socket)
{
    if (socket < 0)
        return -1;
    WSAPROTOCOL_INFOW info;
    if (::WSADuplicateSocketW(sock(socket), ::GetCurrentProcessId(), &info) != 0)
        return -1;
    SOCKET second = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (second == INVALID_SOCKET) {
        // Systems before Windows 7 SP1 don't know the flag.
        second = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                              WSA_FLAG_OVERLAPPED);
        if (second == INVALID_SOCKET)
            return -1;
        ::SetHandleInformation(reinterpret_cast<HANDLE>(second), HANDLE_FLAG_INHERIT, 0);
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(second, FIONBIO, &nonBlocking);
    return qintptr(second);
}

void CloseSocket(qintptr socket)
{
    if (socket >= 0)
        ::closesocket(sock(socket));
}

// ---- The scratch file: deleted by the system when its last handle closes,
// which a crash does too; no other program may open it meanwhile. Where the
// system allows it, the name goes from the folder at once.

namespace {
// FILE_DISPOSITION_INFO_EX, Windows 10 1709 on; not in every SDK's headers.
struct DispositionEx {
    DWORD flags;
};
constexpr DWORD DispositionDelete = 0x1;
constexpr DWORD DispositionPosix = 0x2;
constexpr FILE_INFO_BY_HANDLE_CLASS FileDispositionInfoExClass = FILE_INFO_BY_HANDLE_CLASS(21);

std::atomic<unsigned> scratchCount{0};
} // namespace

qintptr OpenScratchFile(const QString &folder, QString *error)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const QString name =
            QDir::toNativeSeparators(QDir(folder).filePath(QStringLiteral("torvane-log-%1-%2-%3")
                                                               .arg(::GetCurrentProcessId())
                                                               .arg(scratchCount.fetch_add(1))
                                                               .arg(quint32(::GetTickCount64()), 0, 16)));
        const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t *>(name.utf16()),
                                       GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DispositionEx gone{DispositionDelete | DispositionPosix};
            ::SetFileInformationByHandle(h, FileDispositionInfoExClass, &gone, sizeof gone);
            return reinterpret_cast<qintptr>(h);
        }
        const DWORD why = ::GetLastError();
        if (why != ERROR_FILE_EXISTS && why != ERROR_ALREADY_EXISTS) {
            if (error)
                *error = systemError(why);
            return -1;
        }
    }
    if (error)
        *error = systemError(ERROR_FILE_EXISTS);
    return -1;
}

bool WriteAt(qintptr handle, const char *data, qint64 length, qint64 at, QString *error)
{
    while (length > 0) {
        OVERLAPPED where{};
        where.Offset = DWORD(quint64(at) & 0xffffffffu);
        where.OffsetHigh = DWORD(quint64(at) >> 32);
        DWORD n = 0;
        const BOOL ok = ::WriteFile(file(handle), data, DWORD(qMin(length, MaxPerCall)), &n, &where);
        if (!ok || n == 0) {
            if (error)
                *error = systemError(ok ? DWORD(ERROR_DISK_FULL) : ::GetLastError());
            return false;
        }
        data += n;
        at += n;
        length -= n;
    }
    return true;
}

bool ReadAt(qintptr handle, char *data, qint64 length, qint64 at)
{
    while (length > 0) {
        OVERLAPPED where{};
        where.Offset = DWORD(quint64(at) & 0xffffffffu);
        where.OffsetHigh = DWORD(quint64(at) >> 32);
        DWORD n = 0;
        // Past the end: false, or true with nothing read.
        if (!::ReadFile(file(handle), data, DWORD(qMin(length, MaxPerCall)), &n, &where) || n == 0)
            return false;
        data += n;
        at += n;
        length -= n;
    }
    return true;
}

void CloseFile(qintptr handle)
{
    if (handle >= 0)
        ::CloseHandle(file(handle));
}

// ---- Memory: committed pages are zeroed and made as each is first touched;
// this system has no way to make private pages at once.

char *MapPages(qint64 bytes)
{
    return static_cast<char *>(
        ::VirtualAlloc(nullptr, SIZE_T(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void UnmapPages(char *data, qint64)
{
    if (data)
        ::VirtualFree(data, 0, MEM_RELEASE);
}

// ---- Termination requests. Three ways in, one note for the loop:
// - the console's Ctrl+C, Ctrl+Break and close (the programs without a
//   window), through the console control handler;
// - another program's request: an event named after this process
//   (TerminationEventName), set the way SIGTERM is sent elsewhere;
// - the end of the session (log-off, shutdown) for a program with a window:
//   WM_ENDSESSION, after which the system ends the process as soon as the
//   message is answered. The handler runs there and then, before the answer.
// The first two only set an event that the event loop watches. A request
// that comes while none is armed (the second) ends the program at once.

namespace {
std::atomic<bool> armed{false};
HANDLE loopEvent = nullptr; // auto-reset: what the event loop watches
HANDLE requestEvent = nullptr; // named: the way in for another program
HANDLE requestWait = nullptr;
QPointer<QWinEventNotifier> loopNotifier;
QPointer<QObject> handlerContext;
std::function<void()> currentHandler;
constexpr UINT EndedByRequest = 0xC000013A; // STATUS_CONTROL_C_EXIT, as the console's own end

QString TerminationEventName(qint64 pid)
{
    return QStringLiteral("Local\\TorvaneTerminate-%1").arg(pid);
}

// True when a request was armed and is now noted for the loop.
bool noteRequest()
{
    if (!armed.exchange(false))
        return false;
    ::SetEvent(loopEvent);
    return true;
}

BOOL WINAPI OnConsoleEvent(DWORD type)
{
    if (!noteRequest())
        return FALSE; // the system's own handling: the process ends
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: the loop gets its time to
        // close (ExitAfter bounds it), and the process ends from there.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

void CALLBACK OnRequestEvent(void *, BOOLEAN)
{
    if (!noteRequest())
        ::TerminateProcess(::GetCurrentProcess(), EndedByRequest);
}

class SessionEndFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_ENDSESSION || msg->wParam == FALSE)
            return false;
        // Called on the thread of the loop that dispatched the message; the
        // one WM_ENDSESSION each top-level window gets runs the handler once.
        if (handlerContext && currentHandler && armed.exchange(false))
            currentHandler();
        return false;
    }
};

// The events and the watch on the named one, made once. The console's
// handler goes in too; a program without a console has no use for it, so
// its failure doesn't count.
bool makeEvents()
{
    static const bool made = [] {
        loopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const QString name = TerminationEventName(::GetCurrentProcessId());
        requestEvent = ::CreateEventW(nullptr, FALSE, FALSE, reinterpret_cast<const wchar_t *>(name.utf16()));
        if (!loopEvent || !requestEvent
            || !::RegisterWaitForSingleObject(&requestWait, requestEvent, OnRequestEvent, nullptr, INFINITE,
                                              WT_EXECUTEDEFAULT))
            return false;
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        return true;
    }();
    return made;
}

char overdueMessage[256];
DWORD overdueLength = 0;
HANDLE overdueTimer = nullptr;

DWORD WINAPI WaitForOverdue(void *)
{
    ::WaitForSingleObject(overdueTimer, INFINITE);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), overdueMessage, overdueLength, &written, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), 1);
    return 0;
}
} // namespace

bool OnTerminationRequest(QObject *context, std::function<void()> handler)
{
    armed = false;
    if (!makeEvents())
        return false;
    delete loopNotifier.data();
    handlerContext = context;
    currentHandler = handler; // for the end of the session, which can't wait for the loop
    loopNotifier = new QWinEventNotifier(loopEvent, context);
    QObject::connect(loopNotifier.data(), &QWinEventNotifier::activated, loopNotifier.data(),
                     [handler = std::move(handler)] { handler(); });
    static SessionEndFilter sessionEnd;
    static bool filterInstalled = false;
    if (!filterInstalled && QCoreApplication::instance()) {
        QCoreApplication::instance()->installNativeEventFilter(&sessionEnd);
        filterInstalled = true;
    }
    ::ResetEvent(loopEvent);
    armed = true;
    return true;
}

void ExitAfter(int seconds, const char *message)
{
    overdueLength = DWORD(qMin(std::strlen(message), sizeof overdueMessage));
    std::memcpy(overdueMessage, message, overdueLength);
    if (!overdueTimer) {
        overdueTimer = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
        if (!overdueTimer)
            return;
        const HANDLE thread = ::CreateThread(nullptr, 0, WaitForOverdue, nullptr, 0, nullptr);
        if (thread)
            ::CloseHandle(thread);
    }
    LARGE_INTEGER due;
    due.QuadPart = -qint64(qMax(1, seconds)) * 10000000; // relative, in 100 ns
    ::SetWaitableTimer(overdueTimer, &due, 0, nullptr, nullptr, FALSE);
}

void BinaryStandardStreams()
{
    std::fflush(stdout);
    std::fflush(stderr);
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool StandardErrorIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

} // namespace platform
