#include "link/lineoutput.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/types.h>

void SendAtOnce(QTcpSocket *socket, const QByteArray &bytes)
{
    if (!socket || bytes.isEmpty())
        return;
    qsizetype done = 0;
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0 && socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        while (done < bytes.size()) {
            const ssize_t n = ::send(int(fd), bytes.constData() + done, size_t(bytes.size() - done),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                done += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break; // full, or failed: the socket takes the rest
        }
    }
    if (done < bytes.size())
        socket->write(bytes.constData() + done, bytes.size() - done);
}

void LineOutput::setSocket(QTcpSocket *s)
{
    socket = s;
    gathered.clear();
}

void LineOutput::write(const QByteArray &bytes)
{
    if (holds > 0)
        gathered += bytes;
    else
        SendAtOnce(socket, bytes);
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
    const QByteArray bytes = gathered;
    gathered.clear();
    SendAtOnce(socket, bytes);
}
