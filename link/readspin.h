#pragma once
// A relay in lock-step traffic spends most of each round trip waiting for
// the peer's answer. Going to sleep for that wait costs more than the wait
// itself on many machines (the processor idles, and waking it again takes
// tens of microseconds, much more under a hypervisor). So right after a
// burst the loop asks the system a few times, without sleeping, whether the
// next bytes are there, for a short while at most. When they are, they are
// taken at once, without another round through the event loop.

#include "platform/platform.h"

#include <QtGlobal>

// How long the loop keeps asking after a relayed burst.
constexpr qint64 ReadSpinNs = 50 * 1000;

// What one socket had when the asking stopped.
using Readiness = platform::Readiness;

// Asks without sleeping until one of `sockets` has something to read (or
// has failed or hung up) or `budgetNs` has passed; negative handles are left
// out. `ready[i]` says what `sockets[i]` has: Data for just bytes, Other when
// an end or an error waits (with bytes or without). True when any is ready.
bool SpinUntilReadable(const qintptr *sockets, Readiness *ready, int count, qint64 budgetNs);
