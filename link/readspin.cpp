#include "link/readspin.h"

#include <QElapsedTimer>

#include <poll.h>

bool SpinUntilReadable(const int *fds, int count, qint64 budgetNs)
{
    constexpr int MaxFds = 4;
    pollfd polled[MaxFds];
    nfds_t n = 0;
    for (int i = 0; i < count && n < MaxFds; ++i) {
        if (fds[i] >= 0)
            polled[n++] = pollfd{fds[i], POLLIN, 0};
    }
    if (n == 0)
        return false;
    QElapsedTimer clock;
    clock.start();
    do {
        if (::poll(polled, n, 0) > 0)
            return true;
    } while (clock.nsecsElapsed() < budgetNs);
    return false;
}
