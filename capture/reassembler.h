#pragma once
// One direction of a TCP connection put back into its byte stream: sequence
// numbers (with their wrap-around), retransmitted and overlapping segments
// (the first copy wins; a copy that differs is reported), segments out of
// order (held, within bounds), and the holes the capture missed (reported
// with their size once the peer's acknowledgement, the end of the stream or
// the holding bound shows they will not come).

#include <QByteArray>
#include <QtGlobal>

#include <map>

namespace capture {

class StreamSink {
public:
    virtual ~StreamSink() = default;
    // The next bytes of the stream, carried by frame `frame` at `timeUs`.
    virtual void data(const char *bytes, qsizetype size, qint64 frame, qint64 timeUs) = 0;
    // `bytes` of the stream are missing from the capture here.
    virtual void gap(qint64 bytes, qint64 frame, qint64 timeUs) = 0;
    // A copy of bytes already taken differs from the first in `bytes` places.
    virtual void differs(qint64 bytes, qint64 frame, qint64 timeUs) = 0;
};

class Reassembler {
public:
    // Bytes held out of order, and their segments, before the first hole is
    // given up as missing.
    static constexpr qint64 MaxHeldBytes = 256 * 1024;
    static constexpr int MaxHeldSegments = 2048;
    // Bytes already taken that a retransmission is compared with.
    static constexpr qint64 HistoryBytes = 16 * 1024;
    // An acknowledgement further ahead than this is not believed.
    static constexpr qint64 MaxAckJump = qint64(1) << 30;

    explicit Reassembler(StreamSink &sink) : sink_(sink) { }

    // The stream's first byte has sequence number `seq` (after a SYN: its
    // number plus one; without one: the first data segment seen).
    void start(quint32 seq);
    bool started() const { return started_; }

    void segment(quint32 seq, const char *bytes, qsizetype size, qint64 frame, qint64 timeUs);
    // The peer acknowledged everything before `ack`: what is still missing
    // before it was lost by the capture, not by the network.
    void acknowledged(quint32 ack, qint64 frame, qint64 timeUs);
    // The sender's FIN came with sequence number `seq`: it takes up a number
    // the peer acknowledges, but is no byte of the stream.
    void fin(quint32 seq);
    // The stream ends: what is held is taken, holes reported.
    void finish(qint64 frame, qint64 timeUs);

    qint64 taken() const { return next_; } // bytes past the start, holes included
    qint64 heldBytes() const { return heldBytes_; }
    int heldSegments() const { return int(held_.size()); }

private:
    struct Held {
        QByteArray bytes;
        qint64 frame, timeUs;
    };
    qint64 offsetOf(quint32 seq) const { return next_ + qint32(seq - nextSeq_); }
    void take(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs);
    void hold(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs);
    void drain();
    void skipTo(qint64 offset, qint64 frame, qint64 timeUs);
    void compare(qint64 offset, const char *bytes, qint64 size, qint64 frame, qint64 timeUs);

    StreamSink &sink_;
    bool started_ = false;
    quint32 nextSeq_ = 0; // the sequence number of offset next_
    qint64 next_ = 0; // the next byte's offset from the start
    std::map<qint64, Held> held_;
    qint64 heldBytes_ = 0;
    qint64 finOffset_ = -1;
    QByteArray history_; // the last HistoryBytes taken, a ring
    qint64 historyStart_ = 0; // history holds nothing before this (a hole)
    qint64 historyEnd_ = 0; // offset past the last byte in history_
};

// Whether `v` begins like a tagged I++ DME command: five digits (or E and
// four), a blank, a letter.
bool LooksLikeCommand(const char *bytes, qsizetype size);
// Whether `v` begins like any tagged line, command or reply.
bool LooksLikeTaggedLine(const char *bytes, qsizetype size);

} // namespace capture
