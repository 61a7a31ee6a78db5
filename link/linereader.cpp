#include "link/linereader.h"

#include "platform/platform.h"

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
        const qint64 got = from->read(readBuffer(), qMin(available, ReadChunk));
        if (got <= 0)
            return Drained;
        lines.feed(chunk.constData(), got);
    }
}

bool LineReader::readDirect()
{
    if (!socket || draining || stopped || socket->state() != QAbstractSocket::ConnectedState
        || socket->bytesAvailable() > 0)
        return false;
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return false;
    const platform::IoResult got = platform::ReceiveNow(fd, readBuffer(), ReadChunk);
    if (got.status != platform::Io::Done)
        return false;
    lines.feed(chunk.constData(), qsizetype(got.bytes));
    return true;
}
