#pragma once
// Helpers shared by the fault tests.

#include "platform/testsupport.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

namespace faults {

// Is `expected` a subsequence of `lines` (in order, others may lie between)?
inline bool inOrder(const QStringList &lines, const QStringList &expected)
{
    qsizetype k = 0;
    for (const QString &l : lines) {
        if (k < expected.size() && l == expected.at(k))
            ++k;
    }
    return k == expected.size();
}

// Open files, sockets and the like of this process.
inline int openFds()
{
    return platform::test::OpenHandles();
}

using platform::test::UnwritableFolder;

} // namespace faults
