#pragma once
// Splits a byte stream into protocol lines: a line ends at LF, and a CR just
// before the LF is not part of it. A line longer than the limit (its CR not
// counted) is an overflow: the stream can't be read past it.

#include <QByteArray>

class LineSplitter {
public:
    enum Result { Line, NeedMore, Overflow };

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

private:
    QByteArray buffer;
    qsizetype readPos = 0;
    qsizetype scanPos = 0; // no LF before this offset of the pending bytes
    int maxLength;
};
