// The motion-command rewrite.
#include "sim/rewrite.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromLatin1(reinterpret_cast<const char *>(data), int(size));
    RewriteCZPositionOnSphere(line);
    return 0;
}
