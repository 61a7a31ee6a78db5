// The tag-number reader, the strict integer reader and tagging.
#include "link/protocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), int(size));
    const qint64 n = ReadTagNumber(text);
    int v = 0;
    if (ParseIntStrict(text, v) && qint64(v) != n && text.trimmed() == text)
        std::abort(); // a whole number reads the same both ways
    const QString line = MakeTaggedLine(n, text);
    GetTag(line);
    GetType(line);
    StripComment(text);
    return 0;
}
