#include "link/readspin.h"

#include <QElapsedTimer>

bool SpinUntilReadable(const qintptr *sockets, Readiness *ready, int count, qint64 budgetNs)
{
    bool anyToAsk = false;
    for (int i = 0; i < count; ++i)
        anyToAsk = anyToAsk || sockets[i] >= 0;
    QElapsedTimer clock;
    clock.start();
    do {
        if (platform::PollReadable(sockets, ready, count))
            return true;
    } while (anyToAsk && clock.nsecsElapsed() < budgetNs);
    return false;
}
