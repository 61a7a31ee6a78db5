#pragma once
// How the traffic log shows a line's bytes, the one rule the view's painting,
// the find bar's marks and the accessible text's character places share: tabs
// run to the next multiple of LogTabWidth columns, control characters appear
// as their Unicode pictures, every other byte as its Latin-1 character. Each
// byte takes one or more whole characters, one column each, so the shown text
// of a line's first n bytes is always the start of the shown text of the
// whole line.

#include <QString>

constexpr int LogTabWidth = 8;

QString LogDisplayText(const char *data, qsizetype length);
// Appends how bytes [from, to) of a line show, `out` holding how the bytes
// before `from` show.
void AppendLogDisplayText(QString &out, const char *data, qsizetype from, qsizetype to);
// The columns the line takes: the length of its shown text, without making it.
qsizetype LogDisplayColumns(const char *data, qsizetype length);
