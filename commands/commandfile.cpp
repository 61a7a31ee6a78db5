#include "commands/commandfile.h"

#include "check/markers.h"
#include "link/protocol.h"

namespace {

// The command in a log line that carries a direction marker: the time stamp,
// the marker, blanks, an 'E' tag prefix and the tag digits are dropped; from
// the command's first character on everything is kept.
QString extractMarked(const QString &s)
{
    bool markerSeen = false;
    bool digitSeen = false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t'))
            continue;
        if (c == QLatin1Char('>') || c == QLatin1Char('$')) {
            markerSeen = true;
            continue;
        }
        if (markerSeen && c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digitSeen = true;
            continue;
        }
        if (!digitSeen && c == QLatin1Char('E'))
            continue;
        if (markerSeen)
            return s.mid(i);
        // before the marker: part of the time stamp
    }
    return QString();
}

} // namespace

QString ParseCommandFileLine(const QString &line)
{
    const QString s = TrimControls(line);
    if (s.isEmpty())
        return QString();
    const QChar first = s.at(0);
    if (first == QLatin1Char(';') || first == QLatin1Char('\'') || first == QLatin1Char('/'))
        return QString();
    // Lines the program received or made up are no commands to send again.
    for (QLatin1String skip : {LogMarker::Server, LogMarker::ToRelay, LogMarker::Faked, LogMarker::Rewritten,
                               QLatin1String("--")}) {
        if (s.contains(skip.trimmed()))
            return QString();
    }
    if (first == QLatin1Char('>') || (s.size() >= 15 && s.at(14) == QLatin1Char('>')))
        return extractMarked(s);
    return s;
}

QStringList SplitCommandFileLines(const QByteArray &bytes)
{
    QStringList lines;
    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && data[end] != '\n' && data[end] != '\r')
            ++end;
        lines << QString::fromLatin1(data + start, end - start);
        if (end < size && data[end] == '\r' && end + 1 < size && data[end + 1] == '\n')
            ++end; // CR LF is one line end
        start = end + 1;
    }
    return lines;
}

QStringList CommandsFromLines(const QStringList &lines)
{
    QStringList commands;
    commands.reserve(lines.size());
    for (const QString &line : lines) {
        const QString cmd = ParseCommandFileLine(line);
        if (!cmd.isEmpty() && !cmd.contains(QLatin1String("Session")))
            commands << cmd;
    }
    return commands;
}

QByteArray CommandFileBytes(const QStringList &rows)
{
    QByteArray bytes;
    qsizetype size = 0;
    for (const QString &row : rows)
        size += row.size() + 2;
    bytes.reserve(size);
    for (const QString &row : rows) {
        bytes += row.toLatin1();
        bytes += "\r\n";
    }
    return bytes;
}

QString WithLoadExtension(const QString &name)
{
    const QString upper = name.toUpper();
    if (upper.contains(QLatin1String(".TXT")) || upper.contains(QLatin1String(".LOG")))
        return name;
    return name + QStringLiteral(".txt");
}

QString WithSaveExtension(const QString &name)
{
    if (name.contains(QLatin1String(".TXT"), Qt::CaseInsensitive))
        return name;
    return name + QStringLiteral(".txt");
}
