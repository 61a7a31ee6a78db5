#pragma once
// Helpers shared by the fault tests.

#include "platform/testsupport.h"

#include <QByteArray>
#include <QDir>
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

// Open file descriptors of this process.
inline int openFds()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

using platform::test::UnwritableFolder;

} // namespace faults
