#pragma once
// What a double-click on a traffic-log line picks out of it. Positions are
// absolute, counted from 1: 14 characters of time stamp, a four-character
// marker, the five-character tag and a blank come first, so a reply's type
// stands at 25 and a quoted text in a data line starts at 27. Lines without
// time stamp or with a three-character marker are read at the same places.

#include <QString>

struct LogPick {
    enum Kind { Nothing, ToolName, Command };
    Kind kind = Nothing;
    QString value;
};

// A quoted tool name from a data line (whatever the keys), else with Ctrl
// held the command part of the line, else nothing.
LogPick PickFromLogLine(const QString &line, bool ctrlHeld);
