#pragma once
// Splits a byte stream into protocol lines: a line ends at LF, and a CR just
// before the LF is not part of it. A line longer than the limit (its CR not
// counted) is an overflow: the stream can't be read past it.
//
// How each line ended on the wire is kept for the checker: CR LF, a bare LF,
// LF CR (the CR right after the LF already read), a CR at the peer's close,
// or nothing. A CR that opens a line right after a bare LF belongs to that
// LF: the line keeps it (what is passed on doesn't change), and
// leadingCr() says so.

#include <QByteArray>

class LineSplitter {
public:
    enum Result { Line, NeedMore, Overflow };
    enum class Ending : quint8 { CrLf, Lf, LfCr, Cr, None };

    explicit LineSplitter(int maxLineLength = 16384) : maxLength(maxLineLength) { }

    void feed(const QByteArray &bytes) { feed(bytes.constData(), bytes.size()); }
    void feed(const char *bytes, qsizetype size);
    // Takes the next complete line into `line`.
    Result next(QByteArray &line);
    // Bytes fed but not yet taken as lines.
    qsizetype pending() const { return buffer.size() - readPos; }
    void clear();
    // Takes what is left after the last complete line (a CR at its end
    // dropped) as one more line: the peer closed before its LF. False when
    // nothing is left.
    bool takeRest(QByteArray &line);
    void setMaxLineLength(int length) { maxLength = length; }
    // The line last taken: how it ended, and whether its first byte is a CR
    // that followed the bare LF before it.
    Ending ending() const { return lastEnding; }
    bool leadingCr() const { return lastLeadingCr; }

private:
    QByteArray buffer;
    qsizetype readPos = 0;
    qsizetype scanPos = 0; // no LF before this offset of the pending bytes
    int maxLength;
    Ending lastEnding = Ending::CrLf;
    bool lastLeadingCr = false;
    bool afterBareLf = false; // the line before ended in LF without a CR
    void took(const QByteArray &line, Ending end)
    {
        lastLeadingCr = afterBareLf && line.startsWith('\r');
        lastEnding = end;
        afterBareLf = end == Ending::Lf || end == Ending::LfCr;
    }
};
