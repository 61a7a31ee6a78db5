#pragma once
// torvane-check on a packet capture: each I++ DME connection in it is
// checked as a session of its own, findings name their frame.

#include "check/summary.h"

#include <QList>
#include <QString>

struct CaptureOptions {
    QList<quint16> ports{1294};
    int session = 0; // 0: every session
};

// Checks one capture file; returns 0, 1 or 2 as for a log.
int CheckCapture(const QString &path, const check::Options &opt, const CaptureOptions &capture,
                 check::Output &out, bool firstJson);
