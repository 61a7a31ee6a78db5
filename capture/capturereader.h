#pragma once
// Reads the I++ DME conversations out of a packet capture (pcap or pcapng,
// through libpcap), streaming: each TCP connection is put back together per
// direction and cut into lines, which come out one at a time with their
// connection (a session), side, capture time and frame number. Memory stays
// bounded whatever the capture holds: connections, held segments and line
// lengths all have caps.
//
//     capture::CaptureReader reader;
//     reader.setLineHandler([](const capture::Line &l) { ... });
//     reader.setEventHandler([](const capture::Event &e) { ... });
//     const capture::ReadResult r = reader.read(path);
//
// Link types: Ethernet (with 802.1Q/QinQ tags), Linux cooked (SLL, SLL2),
// BSD loopback/null and raw IP; IPv4 and IPv6.

#include "check/protocolchecker.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace capture {

enum class Side : quint8 { Client, Server };

// One connection that carries I++ DME, numbered from 1 in the order its
// first bytes came.
struct Session {
    int id = 0;
    QByteArray client, server; // "192.0.2.1:50000", "[2001:db8::1]:1294"
    qint64 startUs = -1; // its first frame's time (the SYN when captured)
    qint64 startFrame = 0;
    bool opened = false; // its SYN was captured
    bool byPort = false; // found by its port, not by what it says
};

struct Line {
    int session = 0;
    Side side = Side::Client;
    QByteArrayView bytes; // without its line end; at most check::KeptLineLength
    qint64 fullLength = 0; // the line's real length
    check::LineEnd end = check::LineEnd::CrLf;
    qint64 timeUs = -1; // the capture time of the frame that ended it
    qint64 frame = 0; // that frame's number, from 1
};

enum class EventKind : quint8 {
    SessionStart,
    SessionEnd,
    Gap, // `bytes` the capture missed; the side resumes at its next line
    Differs, // a retransmitted copy differs from the first in `bytes` places
};

struct Event {
    EventKind kind = EventKind::SessionStart;
    const Session *session = nullptr;
    Side side = Side::Client;
    qint64 bytes = 0;
    qint64 timeUs = -1;
    qint64 frame = 0;
};

struct ReaderOptions {
    // The server ports whose connections are I++ DME without looking; others
    // are when the client's first line is a tagged command.
    QList<quint16> ports{1294};
    // Only this session's lines and events (0: all).
    int onlySession = 0;
    // Sessions followed at once; past it the one idle longest is ended.
    int maxSessions = 64;
    // Connections remembered at once (most of them only as a few bytes).
    int maxConnections = 65536;
};

struct ReadResult {
    bool opened = false; // a capture libpcap could read
    QString error; // why it could not be opened, or where reading stopped
    bool truncated = false; // the file ends inside a packet
    QByteArray format; // "pcap" or "pcapng"
    int linkType = -1;
    bool linkSupported = true;
    qint64 frames = 0;
    qint64 tcpSegments = 0;
    qint64 sessions = 0;
    qint64 lines = 0;
};

// Whether the first bytes of a file are those of a capture (pcap in either
// byte order, with micro- or nanosecond stamps, or pcapng).
bool LooksLikeCapture(QByteArrayView head);

class CaptureReader {
public:
    using LineHandler = std::function<void(const Line &)>;
    using EventHandler = std::function<void(const Event &)>;

    explicit CaptureReader(ReaderOptions options = {});
    ~CaptureReader();
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;

    void setLineHandler(LineHandler h) { onLine_ = std::move(h); }
    void setEventHandler(EventHandler h) { onEvent_ = std::move(h); }

    // Reads the whole file; the handlers are called as it goes.
    ReadResult read(const QString &path);

    // The same in slices, for a caller that must not block (a window reads
    // a slice a turn of its event loop): open() (false when the file is no
    // capture libpcap reads), readSome() until it returns false (the end, a
    // cut, or a link type this reader does not know), then close(), which
    // ends the open sessions and says how it went.
    bool open(const QString &path);
    bool readSome(int frames);
    ReadResult close();
    const ReadResult &progress() const;
    // How far into the file reading has come, in bytes (while open).
    qint64 filePosition() const;

    // The packet layer, for callers that bring their own frames (tests, the
    // fuzzer): one frame of the given link type and its capture time.
    void frame(int linkType, const uchar *bytes, qsizetype size, qint64 timeUs);
    // The end of the frames: every open session is finished.
    void finish();

    struct Impl;

private:
    std::unique_ptr<Impl> d;
    LineHandler onLine_;
    EventHandler onEvent_;
};

} // namespace capture
