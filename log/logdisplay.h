#pragma once
// How the log view shows a line's bytes: tabs run to the next multiple of
// eight columns, control characters appear as their Unicode pictures, every
// other byte as its Latin-1 character. Each byte takes one or more whole
// characters, so the shown text of a line's first n bytes is always the
// start of the shown text of the whole line.

#include <QString>

constexpr int LogTabWidth = 8;

QString LogDisplayText(const char *data, qsizetype length);
// Appends how bytes [from, to) of a line show, `out` holding how the bytes
// before `from` show.
void AppendLogDisplayText(QString &out, const char *data, qsizetype from, qsizetype to);

class TrafficLogView;

// Scrolls the log so that bytes [column, column + length) of the line are in
// view; a line already in view keeps its place.
void ShowLogRange(TrafficLogView *view, int line, qsizetype column, qsizetype length);
