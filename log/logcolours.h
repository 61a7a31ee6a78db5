#pragma once
// What kind of line a traffic-log line is, read from its direction marker
// and reply type, and the colour the log paints each kind in. Colouring is
// painting only: the lines themselves never change.

#include <QColor>
#include <QtGlobal>

enum class LogLineKind {
    Plain, // anything else: the first empty line, text of unknown form
    Data, // a server line: data ('#') or of no known reply type
    Quiet, // a server acknowledge ('&') or completion ('%')
    ServerError, // a server error line ('!')
    Operator, // a command the operator sent
    RelayClient, // a line from the relay client
    Program, // a line the program altered or made up
    Event, // a connection event line
};

// The kind of a log line (its 8-bit bytes, with or without time stamp).
LogLineKind ClassifyLogLine(const char *data, qsizetype length);

// The colours for one background: chosen so that every kind's text keeps a
// contrast of at least 4.5:1 against the background and its bands.
class LogColours {
public:
    LogColours(const QColor &background, const QColor &defaultText);

    QColor text(LogLineKind kind) const;
    // Lines of some kinds get a band behind them as well.
    bool hasBand(LogLineKind kind) const { return kind == LogLineKind::Program; }
    QColor band(LogLineKind kind) const;

    // Find matches: the text on them, the background of every match and of
    // the current one.
    static QColor matchText() { return QColor(0, 0, 0); }
    static QColor matchBackground() { return QColor(255, 226, 100); }
    static QColor currentMatchBackground() { return QColor(255, 150, 30); }

    // WCAG 2 relative luminance and contrast ratio.
    static double luminance(const QColor &c);
    static double contrast(const QColor &a, const QColor &b);

    static constexpr double MinContrast = 4.5;

private:
    QColor bg;
    QColor plain;
    QColor programBand;
    QColor colours[8];
};
