// The TCP reassembler and the capture reader's packet layers on arbitrary
// bytes. The input is a script of segments for one stream (sequence number,
// flags, a slice of payload), then the rest as frames of each link type.
// What comes out must account for every byte: taken plus missing is where
// the stream stands, and the held bytes stay under their bound.
#include "capture/capturereader.h"
#include "capture/reassembler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Sink final : capture::StreamSink {
    qint64 bytes = 0, missing = 0;
    void data(const char *p, qsizetype n, qint64, qint64) override
    {
        if (n <= 0 || !p)
            std::abort();
        bytes += n;
    }
    void gap(qint64 n, qint64, qint64) override
    {
        if (n <= 0)
            std::abort();
        missing += n;
    }
    void differs(qint64 n, qint64, qint64) override
    {
        if (n <= 0)
            std::abort();
    }
};

quint32 Read32(const uint8_t *p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Steps of 6 bytes: an operation, a sequence number (relative to a
    // base, so that most land near the stream), a length.
    Sink sink;
    capture::Reassembler r(sink);
    const quint32 base = size >= 4 ? Read32(data) : 0;
    r.start(base);
    static const char payload[256] = {'0', '0', '0', '0', '1', ' ', 'H', 'o', 'm', 'e', '(', ')', '\r', '\n'};
    size_t i = 4;
    for (; i + 6 <= size && data[i] != 0xff; i += 6) {
        const quint8 op = data[i] % 4;
        quint32 seq = Read32(data + i + 1);
        if (!(data[i] & 0x80))
            seq = base + (seq & 0xffff);
        const qsizetype len = data[i + 5];
        switch (op) {
        case 0:
        case 1:
            r.segment(seq, payload + (seq % 16), qMin<qsizetype>(len, 240), 0, 0);
            break;
        case 2:
            r.acknowledged(seq, 0, 0);
            break;
        case 3:
            r.fin(seq);
            break;
        }
        if (r.heldBytes() > capture::Reassembler::MaxHeldBytes
            || r.heldSegments() > capture::Reassembler::MaxHeldSegments)
            std::abort();
        if (sink.bytes + sink.missing != r.taken())
            std::abort();
    }
    r.finish(0, 0);
    if (r.heldBytes() != 0 || sink.bytes + sink.missing != r.taken())
        std::abort();

    // The rest as frames, each link type in turn.
    if (i < size) {
        capture::ReaderOptions options;
        options.maxConnections = 16;
        options.maxSessions = 4;
        options.ports = {1294, 0};
        capture::CaptureReader reader(options);
        qint64 lines = 0;
        reader.setLineHandler([&](const capture::Line &l) {
            if (l.bytes.size() > l.fullLength || l.bytes.size() > check::KeptLineLength)
                std::abort();
            ++lines;
        });
        const int links[] = {1, 113, 276, 0, 12, 101};
        int k = 0;
        // Frames are split at each 0xff byte.
        const uint8_t *p = data + i;
        const uint8_t *end = data + size;
        while (p < end) {
            const uint8_t *next = static_cast<const uint8_t *>(std::memchr(p, 0xff, size_t(end - p)));
            const uint8_t *stop = next ? next : end;
            reader.frame(links[k++ % 6], p, stop - p, k);
            p = next ? next + 1 : end;
        }
        reader.finish();
    }
    return 0;
}
