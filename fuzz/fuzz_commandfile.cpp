// Command files and saved logs: splitting into lines and reading each line.
#include "commands/commandfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QStringList lines = SplitCommandFileLines(bytes);
    for (const QString &line : lines) {
        const QString cmd = ParseCommandFileLine(line);
        if (cmd.size() > line.size())
            std::abort();
    }
    const QStringList commands = CommandsFromLines(lines);
    // Written and read again, a command list keeps its commands.
    const QStringList again = CommandsFromLines(SplitCommandFileLines(CommandFileBytes(commands)));
    if (again.size() > commands.size())
        std::abort();
    return 0;
}
