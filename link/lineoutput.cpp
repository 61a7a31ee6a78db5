#include "link/lineoutput.h"

#include "platform/platform.h"

#include <QSocketNotifier>
#include <QTimer>

namespace {
// Sends as much of `bytes` from `from` as the system takes now. False when
// the connection has failed.
bool sendSome(qintptr fd, const QByteArray &bytes, qsizetype &from)
{
    while (from < bytes.size()) {
        const platform::IoResult sent = platform::SendNow(fd, bytes.constData() + from, bytes.size() - from);
        if (sent.status != platform::Io::Done)
            return sent.status == platform::Io::WouldBlock;
        from += sent.bytes;
    }
    return true;
}

// Keeps a closed session's descriptor until its last bytes are out, then
// ends the connection with a FIN; gives up after the grace time.
class DescriptorCloser : public QObject {
public:
    DescriptorCloser(qintptr fd, QByteArray rest, int graceMs) : fd(fd), rest(std::move(rest))
    {
        QTimer::singleShot(graceMs, this, [this] { finish(); });
        notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { trySend(); });
        trySend();
    }

private:
    void trySend()
    {
        if (!sendSome(fd, rest, done) || done >= rest.size())
            finish();
    }
    void finish()
    {
        if (fd < 0)
            return;
        notifier->setEnabled(false);
        platform::ShutdownWrite(fd);
        platform::CloseSocket(fd);
        fd = -1;
        deleteLater();
    }
    qintptr fd;
    QByteArray rest;
    qsizetype done = 0;
    QSocketNotifier *notifier = nullptr;
};
} // namespace

void SendAtOnce(QTcpSocket *socket, const QByteArray &bytes)
{
    if (!socket || bytes.isEmpty())
        return;
    qsizetype done = 0;
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0 && socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
        sendSome(fd, bytes, done); // full, or failed: the socket takes the rest
    if (done < bytes.size())
        socket->write(bytes.constData() + done, bytes.size() - done);
}

LineOutput::LineOutput() = default;

LineOutput::~LineOutput()
{
    closeDescriptor(0);
}

void LineOutput::setSocket(QTcpSocket *s)
{
    closeDescriptor(0);
    socket = s;
    gathered.clear();
}

void LineOutput::useDescriptor(qintptr descriptor, std::function<void()> written,
                               std::function<void()> failed)
{
    closeDescriptor(0);
    socket = nullptr;
    fd = descriptor;
    onWritten = std::move(written);
    onFailed = std::move(failed);
    writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    writable->setEnabled(false);
    QObject::connect(writable.get(), &QSocketNotifier::activated, writable.get(), [this] {
        sendPending();
        if (fd >= 0 && pending.isEmpty() && onWritten)
            onWritten();
    });
}

void LineOutput::closeDescriptor(int graceMs)
{
    if (fd < 0)
        return;
    writable.reset();
    const qintptr descriptor = fd;
    fd = -1;
    QByteArray rest = pending;
    pending.clear();
    onWritten = nullptr;
    onFailed = nullptr;
    if (graceMs <= 0) {
        platform::CloseSocket(descriptor);
        return;
    }
    new DescriptorCloser(descriptor, std::move(rest), graceMs);
}

void LineOutput::sendPending()
{
    qsizetype done = 0;
    const bool alive = sendSome(fd, pending, done);
    pending.remove(0, done);
    if (!alive) {
        pending.clear();
        writable->setEnabled(false);
        if (onFailed)
            QTimer::singleShot(0, writable.get(), onFailed); // not in the middle of a write
        return;
    }
    writable->setEnabled(!pending.isEmpty());
}

void LineOutput::write(const QByteArray &bytes)
{
    if (holds > 0) {
        gathered += bytes;
    } else {
        deliver(bytes);
    }
}

void LineOutput::writeLine(QByteArrayView line)
{
    if (holds > 0) {
        // Straight into what the burst gathers, without a copy of its own.
        gathered.append(line.data(), line.size()).append("\r\n", 2);
        return;
    }
    QByteArray bytes;
    bytes.reserve(line.size() + 2);
    bytes.append(line.data(), line.size()).append("\r\n", 2);
    deliver(bytes);
}

void LineOutput::deliver(const QByteArray &bytes)
{
    if (fd >= 0) {
        pending += bytes;
        sendPending();
    } else {
        SendAtOnce(socket, bytes);
    }
}

void LineOutput::release()
{
    if (holds > 0 && --holds == 0)
        flush();
}

void LineOutput::flush()
{
    if (gathered.isEmpty())
        return;
    deliver(gathered); // copies what the system doesn't take at once
    // The room is kept for the next burst, unless one burst made it large.
    if (gathered.capacity() > KeptRoom)
        gathered = QByteArray();
    else
        gathered.resize(0);
}
