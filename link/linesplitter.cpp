#include "link/linesplitter.h"

void LineSplitter::feed(const char *bytes, qsizetype size)
{
    if (readPos > 0 && readPos >= buffer.size() / 2) {
        buffer.remove(0, readPos);
        scanPos -= readPos;
        readPos = 0;
    }
    buffer.append(bytes, size);
}

LineSplitter::Result LineSplitter::next(QByteArray &line)
{
    const qsizetype from = qMax(readPos, scanPos);
    const qsizetype lf = buffer.indexOf('\n', from);
    if (lf < 0) {
        scanPos = buffer.size();
        // A line at the limit may still have its CR here, waiting for the LF.
        const qsizetype pending = buffer.size() - readPos;
        if (pending > maxLength + 1 || (pending == maxLength + 1 && buffer.back() != '\r'))
            return Overflow;
        return NeedMore;
    }
    qsizetype end = lf;
    if (end > readPos && buffer.at(end - 1) == '\r')
        --end;
    if (end - readPos > maxLength)
        return Overflow;
    line = buffer.mid(readPos, end - readPos);
    took(line,
         end < lf                                                  ? Ending::CrLf
             : lf + 1 < buffer.size() && buffer.at(lf + 1) == '\r' ? Ending::LfCr
                                                                   : Ending::Lf);
    readPos = lf + 1;
    scanPos = readPos;
    if (readPos == buffer.size()) {
        buffer.clear();
        readPos = scanPos = 0;
    }
    return Line;
}

bool LineSplitter::takeRest(QByteArray &line)
{
    if (pending() <= 0)
        return false;
    line = buffer.mid(readPos);
    const bool cr = line.endsWith('\r');
    if (cr)
        line.chop(1);
    took(line, cr ? Ending::Cr : Ending::None);
    clear();
    return true;
}

void LineSplitter::clear()
{
    buffer.clear();
    readPos = scanPos = 0;
    afterBareLf = false;
}
