#include "link/linereader.h"

#include <QScopeGuard>

void LineReader::attach(QTcpSocket *s)
{
    socket = s;
    lines.clear();
    closeSeen = false;
}

LineReader::End LineReader::drain(const std::function<bool()> &goOn,
                                  const std::function<void(const QByteArray &)> &handle)
{
    if (draining)
        return Busy;
    draining = true;
    stopped = false;
    const auto done = qScopeGuard([this] { draining = false; });
    const QPointer<QTcpSocket> from = socket;
    QByteArray line;
    for (;;) {
        if (!from || from != socket)
            return Gone;
        if (!goOn()) {
            stopped = true;
            return Held;
        }
        const LineSplitter::Result r = lines.next(line);
        if (r == LineSplitter::Line) {
            handle(line);
            continue;
        }
        if (r == LineSplitter::Overflow)
            return Overflow;
        const qint64 available = from->bytesAvailable();
        if (available <= 0)
            return Drained;
        lines.feed(from->read(qMin(available, ReadChunk)));
    }
}
