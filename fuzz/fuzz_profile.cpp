// The settings-file reader and writer on arbitrary file contents.
#include "app/profile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ProfileFile p;
    p.setContent(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    const int count = p.readInteger(QStringLiteral("Commands"), QStringLiteral("Count"), 0);
    for (int i = 0; i < qBound(0, count, 64); ++i)
        p.readString(QStringLiteral("Commands"), QString::number(i), QString());
    const QString host =
        p.readString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
    if (host.size() > ProfileFile::MaxValueLength)
        std::abort();
    p.eraseSection(QStringLiteral("Commands"));
    p.writeInteger(QStringLiteral("Commands"), QStringLiteral("Count"), 1);
    p.writeString(QStringLiteral("Commands"), QStringLiteral("0"), QStringLiteral(" x;\"y\" "));
    p.writeString(QStringLiteral("TCP/IP"), QStringLiteral("Host"), host);
    // What was written reads back the same after a save and load.
    ProfileFile q;
    q.setContent(p.content());
    if (q.readString(QStringLiteral("Commands"), QStringLiteral("0"), QString())
        != QStringLiteral(" x;\"y\" "))
        std::abort();
    if (q.readInteger(QStringLiteral("Commands"), QStringLiteral("Count"), 0) != 1)
        std::abort();
    return 0;
}
