#include "platform/platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
void ShutdownSend(qintptr socket)
{
    ::shutdown(int(socket), SHUT_WR);
}

qintptr DuplicateSocket(qintptr socket)
{
    return socket < 0 ? -1 : ::fcntl(int(socket), F_DUPFD_CLOEXEC, 0);
}

void CloseSocket(qintptr socket)
{
    if (socket >= 0)
        ::close(int(socket));
}
} // namespace platform
