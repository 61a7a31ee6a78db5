#include "sim/rewrite.h"

#include "link/protocol.h"

QString RewriteCZPositionOnSphere(const QString &line)
{
    const QString tag = GetTag(line);
    const qsizetype x = line.indexOf(QLatin1Char('x'));
    if (x < 0)
        return line;
    QString rest = line.mid(x);
    const qsizetype comma = rest.lastIndexOf(QLatin1Char(','));
    if (comma < 1)
        return line;
    rest.truncate(comma);
    for (char c : {'x', 'y', 'z'}) {
        const qsizetype at = rest.indexOf(QLatin1Char(c));
        if (at >= 0)
            rest[at] = QChar(QLatin1Char(c)).toUpper();
    }
    return tag + QStringLiteral(" GoTo(") + rest + QLatin1Char(')');
}
