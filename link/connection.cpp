#include "link/connection.h"

#include "link/readspin.h"
#include "platform/platform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {
constexpr int CloseGraceMs = 1000;
} // namespace

LineConnection::LineConnection(int burstLines, QObject *parent) : QObject(parent), burstBound(burstLines) { }

LineConnection::~LineConnection()
{
    if (sock)
        sock->disconnect(this);
}

void LineConnection::Pair(LineConnection *a, LineConnection *b)
{
    a->partner = b;
    b->partner = a;
}

void LineConnection::attachSocket(QTcpSocket *socket)
{
    sock = socket;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bytes not taken yet stay in the network's hands.
    socket->setReadBufferSize(ReadChunk);
    out.setSocket(socket);
    in.attach(socket);
    connect(socket, &QTcpSocket::readyRead, this, [this] { readNow(); });
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        // Lines that arrived before the close are handled first; whoever
        // ends the drain takes the close.
        in.closeSeen = true;
        readNow();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (partner && !out.full())
            partner->partnerDrained();
    });
}

void LineConnection::releaseSocket()
{
    QTcpSocket *socket = sock;
    sock = nullptr;
    out.flush();
    out.setSocket(nullptr);
    in.detach();
    if (socket) {
        socket->disconnect(this);
        CloseGracefully(socket);
    }
}

void LineConnection::partnerDrained()
{
    if (in.held())
        readNow();
}

void LineConnection::writeLine(QByteArrayView line)
{
    out.writeLine(line);
}

void LineConnection::readNow()
{
    if (!sock)
        return;
    // What goes to the partner during this burst goes out in one piece,
    // before the burst is logged and checked.
    if (partner)
        partner->out.hold();
    if (onBurstBegin)
        onBurstBegin();
    int burst = 0;
    const LineReader::End end = in.drain(
        [this, &burst] {
            return burst < burstBound && !(partner && partner->out.full()) && !(readGate && !readGate());
        },
        [this, &burst](const QByteArray &line) {
            ++burst;
            if (onLine)
                onLine(line);
        });
    if (partner)
        partner->out.release();
    if (onBurstEnd)
        onBurstEnd();
    if (burst > 0 && quickLook)
        quickLook->arm();
    switch (end) {
    case LineReader::Held:
        if (burst >= burstBound)
            resumeLater();
        break;
    case LineReader::Overflow:
        inputEnded(EndReason::LineTooLong);
        break;
    case LineReader::Drained:
        if (in.closeSeen && sock) {
            in.closeSeen = false;
            // The last line counts even without its line end.
            QByteArray rest;
            const QPointer<QTcpSocket> was = sock;
            if (in.takeRest(rest) && onLine)
                onLine(rest);
            if (sock && sock == was)
                inputEnded(EndReason::Closed);
        }
        break;
    case LineReader::Gone:
    case LineReader::Busy:
        break;
    }
}

void LineConnection::inputEnded(EndReason reason)
{
    if (onEnd)
        onEnd(reason);
}

// A burst stopped at its bound: the rest is read once the events waiting
// meanwhile have had their turn.
void LineConnection::resumeLater()
{
    if (resumeQueued)
        return;
    resumeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            resumeQueued = false;
            readNow();
        },
        Qt::QueuedConnection);
}

void ExitWhenClosed(QObject *owner, QList<QPointer<QTcpSocket>> *closing, std::function<int()> status,
                    int waitMs)
{
    auto *wait = new QTimer(owner);
    auto left = std::make_shared<int>(waitMs / 10);
    QObject::connect(wait, &QTimer::timeout, owner, [closing, status = std::move(status), wait, left] {
        closing->removeAll(nullptr);
        if (closing->isEmpty() || --*left <= 0) {
            wait->stop();
            QCoreApplication::exit(status());
        }
    });
    wait->start(10);
}

bool SplitHostPort(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535)
        return false;
    *host = colon < 0 ? QString() : text.left(colon);
    *port = quint16(p);
    return true;
}

void CloseGracefully(QTcpSocket *socket)
{
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(CloseGraceMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    const auto discard = [socket] { socket->readAll(); };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, discard);
    discard();
    const auto finSent = std::make_shared<bool>(false);
    const auto endOutput = [socket, finSent] {
        if (*finSent || socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState)
            return;
        *finSent = true;
        platform::ShutdownWrite(socket->socketDescriptor());
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, endOutput);
    endOutput();
}

// ---------------------------------------------------------------- quick look

QuickLook::QuickLook(LineConnection *a, LineConnection *b, std::function<bool()> active, QObject *parent)
    : QObject(parent), a(a), b(b), active(std::move(active))
{
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [this] { look(); });
}

void QuickLook::look()
{
    // The rest of the loop's work waits this long at most.
    constexpr qint64 MaxTurnNs = 1000 * 1000;
    QElapsedTimer turn;
    turn.start();
    while (armed && active() && turn.nsecsElapsed() < MaxTurnNs) {
        armed = false;
        QTcpSocket *sa = a->socket();
        QTcpSocket *sb = b->socket();
        const qintptr fds[] = {sa ? sa->socketDescriptor() : -1, sb ? sb->socketDescriptor() : -1};
        Readiness ready[2];
        if (!SpinUntilReadable(fds, ready, 2, ReadSpinNs))
            break;
        if (ready[0] == Readiness::Data && a->readDirect())
            a->readNow();
        if (ready[1] == Readiness::Data && active() && b->readDirect())
            b->readNow();
    }
    armed = false;
}
