#include "log/pickup.h"

namespace {
constexpr int PosType = 25; // reply type, or a command's first character
constexpr int PosData = 26; // the blank after the type
constexpr int PosQuote = 27; // a quoted text in a data line starts here
constexpr int MinPickLength = 28;

QChar at(const QString &line, int position)
{
    return line.at(position - 1);
}
} // namespace

LogPick PickFromLogLine(const QString &line, bool ctrlHeld)
{
    if (line.size() < MinPickLength)
        return {};
    const bool dataLine = at(line, PosType) == QLatin1Char('#');
    if (dataLine && at(line, PosQuote) == QLatin1Char('"'))
        return {LogPick::ToolName, line.mid(PosQuote - 1)};
    if (!ctrlHeld)
        return {};
    return {LogPick::Command, line.mid((dataLine ? PosData : PosType) - 1)};
}
