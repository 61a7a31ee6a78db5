// Picking tool names and commands out of traffic-log lines.
#include "log/pickup.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromLatin1(reinterpret_cast<const char *>(data), int(size));
    for (bool ctrl : {false, true}) {
        const LogPick pick = PickFromLogLine(line, ctrl);
        if (pick.kind != LogPick::Nothing && !line.endsWith(pick.value))
            std::abort();
    }
    return 0;
}
