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
