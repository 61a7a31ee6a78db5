#pragma once
// Reads saved traffic into a ProtocolChecker, or any other TrafficSink: Torvane's own saved logs (with
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

enum class LogFormat { Unknown, Empty, Binary, Torvane, NistClient, NistServer, Transcript };
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

// Takes the traffic lines of a log as the reader finds them.
class TrafficSink {
public:
    virtual ~TrafficSink() = default;
    // A leg's connection went up or down, or its stream begins.
    virtual void connectionReset(Leg leg, qint64 position, StreamStart start) = 0;
    // One protocol line; `text` holds its start when the reader cut it
    // short, `fullLength` its real length. `timeUs` is -1 when unknown.
    virtual void line(Leg leg, Direction dir, qint64 timeUs, QByteArrayView text, qint64 fullLength,
                      qint64 position, LineEnd end) = 0;
    // The end of the file.
    virtual void finish(qint64 position) = 0;
};

// A log read one chunk at a time, for a customer that takes the lines as it
// needs them: open() reads the head and recognises the format, each next()
// hands the sink the lines of one more chunk and says whether more follow.
class LogStream {
public:
    LogStream(QIODevice &device, TrafficSink &sink, const ReadOptions &options = {});
    ~LogStream();
    LogStream(const LogStream &) = delete;
    LogStream &operator=(const LogStream &) = delete;

    // False when the file is empty, no log or unreadable (result() says why).
    bool open();
    // False once the end was reached: the sink's finish() has run.
    bool next();
    const ReadResult &result() const;
    qint64 linesRead() const;

private:
    struct State;
    std::unique_ptr<State> d;
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
    static ReadResult Read(QIODevice &device, TrafficSink &sink, const ReadOptions &options = {});
};

} // namespace check
