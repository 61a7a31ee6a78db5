// Line splitting of server and relay-client bytes, fed in arbitrary pieces.
#include "link/linesplitter.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int limit = 1 + data[0] % 64; // small limits reach overflow often
    LineSplitter s(limit);
    size_t pos = 1;
    QByteArray all;
    while (pos < size) {
        const size_t piece = 1 + data[pos] % 17;
        const QByteArray bytes(reinterpret_cast<const char *>(data + pos), int(qMin(piece, size - pos)));
        pos += piece;
        s.feed(bytes);
        all += bytes;
        QByteArray line;
        for (;;) {
            const LineSplitter::Result r = s.next(line);
            if (r == LineSplitter::Overflow)
                return 0;
            if (r == LineSplitter::NeedMore)
                break;
            if (line.size() > limit || line.contains('\n'))
                std::abort();
        }
        if (s.pending() > limit + 1 + 17)
            std::abort(); // memory stays bounded by the limit
    }
    return 0;
}
