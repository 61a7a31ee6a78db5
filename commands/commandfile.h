#pragma once
// Reading and writing command files. A command file is 8-bit text with one
// command per line; a traffic log saved by this program is one too, its
// command lines being turned back into the commands that were sent.

#include <QByteArray>
#include <QString>
#include <QStringList>

// The command held by one line of a command file, or an empty text when the
// line holds none (blank, comment, reply or event line of a saved log).
// Marked log lines (">>> 00100 Home()", with or without the time stamp in
// front) yield the command without marker and tag.
QString ParseCommandFileLine(const QString &line);

// Splits 8-bit file contents into lines: a line ends at LF, CR LF or a lone
// CR; a last line without an end is a line too. Bytes are taken as Latin-1.
QStringList SplitCommandFileLines(const QByteArray &bytes);

// The commands of a whole file: every line through ParseCommandFileLine,
// empty results and commands containing "Session" dropped.
QStringList CommandsFromLines(const QStringList &lines);

// The bytes of a written command file: each row as Latin-1, followed by CR LF.
QByteArray CommandFileBytes(const QStringList &rows);

// The file-name rules: Load appends ".txt" unless the upper-cased name
// contains ".TXT" or ".LOG" anywhere; saving a list or the log appends it
// unless it contains ".TXT".
QString WithLoadExtension(const QString &name);
QString WithSaveExtension(const QString &name);
