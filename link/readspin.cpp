#include "link/readspin.h"

#include <QElapsedTimer>

#include <poll.h>

bool SpinUntilReadable(const int *fds, Readiness *ready, int count, qint64 budgetNs)
{
    constexpr int MaxFds = 4;
    pollfd polled[MaxFds];
    int index[MaxFds];
    nfds_t n = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = Readiness::Nothing;
        if (fds[i] >= 0 && n < MaxFds) {
            index[n] = i;
            polled[n++] = pollfd{fds[i], POLLIN | POLLRDHUP, 0}; // an end too, not only a failure
        }
    }
    if (n == 0)
        return false;
    QElapsedTimer clock;
    clock.start();
    do {
        if (::poll(polled, n, 0) > 0) {
            for (nfds_t i = 0; i < n; ++i) {
                if (polled[i].revents != 0)
                    ready[index[i]] = polled[i].revents == POLLIN ? Readiness::Data : Readiness::Other;
            }
            return true;
        }
    } while (clock.nsecsElapsed() < budgetNs);
    return false;
}
