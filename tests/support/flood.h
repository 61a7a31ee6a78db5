#pragma once
// A flood to hold a relay back with, and the read that takes it in at last.

#include "link/linereader.h"
#include "link/lineoutput.h"

#include <QByteArray>
#include <QTcpSocket>
#include <QTest>

// What may wait for a peer that doesn't read: the output's bound, and what
// one read or two took meanwhile.
constexpr qint64 BackpressureSlack = LineOutput::Bound + 2 * ReadChunk;

// Lines enough to fill both legs' network buffers several times over.
inline QByteArray flood(const char *what, int count)
{
    QByteArray bytes;
    bytes.reserve(count * 100);
    for (int i = 0; i < count; ++i) {
        bytes += QByteArray::number(i % 50000).rightJustified(5, '0') + ' ' + what + " X("
            + QByteArray::number(i) + ") " + QByteArray(60, 'p') + "\r\n";
    }
    return bytes;
}

// Reads from `socket` until `expected` bytes have come; false on a stall.
inline bool readEverything(QTcpSocket &socket, qsizetype expected, QByteArray &got)
{
    socket.setReadBufferSize(0);
    return QTest::qWaitFor(
        [&] {
            got += socket.readAll();
            return got.size() >= expected;
        },
        60000);
}
