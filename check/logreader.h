#pragma once
// Reads saved traffic into a ProtocolChecker: Torvane's own saved logs (with
// or without time stamps, both legs told apart by their direction markers),
// the NIST test suite's client and server logs, and plain transcripts whose
// lines start with "C:" (client) or "S:" (server). The format is recognised
// from the first part of the file; the rest is streamed.

#include "check/protocolchecker.h"

#include <QByteArrayView>
#include <QIODevice>
#include <QString>

#include <memory>

namespace check {

// Capture: a packet capture's session, read by the capture reader, never
// recognised here.
enum class LogFormat { Unknown, Empty, Binary, Torvane, NistClient, NistServer, Transcript, Capture };
const char *FormatName(LogFormat f);

// Recognises the format from the first bytes of a file (64 KiB or the whole
// file when shorter). It is binary only when no line of it is log text: a
// log whose traffic holds NULs or other bytes a peer sent is still a log.
LogFormat DetectFormat(QByteArrayView head);

struct ReadOptions {
    // A transcript began inside a session (by default it holds the whole
    // conversation, from the connection on).
    bool midSession = false;
};

struct ReadResult {
    LogFormat format = LogFormat::Unknown;
    qint64 lines = 0; // lines in the file
    qint64 traffic = 0; // protocol lines fed to the checker
    qint64 unrecognised = 0; // lines that were neither traffic nor known log text
    bool truncated = false; // the last line has no line end
    bool readError = false;
    QString error; // why the file is no log, or could not be read
};

// Where a log's traffic goes, line by line.
class TrafficSink {
public:
    virtual ~TrafficSink() = default;
    // One protocol line: its kept start, its real length and its file line.
    virtual void traffic(Leg leg, Direction dir, qint64 timeUs, QByteArrayView line, qint64 fullLength,
                         qint64 lineNo, LineEnd end) = 0;
    virtual void connectionReset(Leg leg, qint64 lineNo, StreamStart start = StreamStart::Connection) = 0;
};

// A log read in pieces, for a caller that reads a slice at a time: begin()
// with the head (HeadSize bytes, or the whole file when shorter), which
// recognises the format and is false for a file that is empty or no log;
// then feed() the whole file from its start, in pieces of any size, and
// end() once at its end.
class LogScanner {
public:
    explicit LogScanner(TrafficSink &sink, const ReadOptions &options = {});
    ~LogScanner();
    LogScanner(const LogScanner &) = delete;
    LogScanner &operator=(const LogScanner &) = delete;

    bool begin(QByteArrayView head);
    void feed(QByteArrayView bytes);
    void end();
    qint64 lines() const; // file lines so far
    const ReadResult &result() const;
    ReadResult &result();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

class LogReader {
public:
    static constexpr qsizetype HeadSize = 64 * 1024;
    // Bytes read at a time after the head.
    static constexpr qsizetype ChunkSize = 1 << 20;

    // Reads `device` to its end into `checker` and calls checker.finish().
    // Where the stream begins follows from the format: a NIST log and a
    // transcript at a connection, a Torvane log at its first connect line.
    static ReadResult Read(QIODevice &device, ProtocolChecker &checker, const ReadOptions &options = {});
};

} // namespace check
