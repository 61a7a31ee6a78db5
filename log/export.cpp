// Log export and pick-up.

#include "app/tform1.h"
#include "app/profile.h"
#include "log/logview.h"

#include <QDir>
#include <QLineEdit>

namespace {

// Positions in a traffic line, counted from 1 (see the log line layout:
// 14 characters of time stamp, a four-character marker, the five-character
// tag and a blank come first). They are used as absolute positions, also for
// lines without time stamp or with a three-character marker.
constexpr int PosType = 25;       // reply type, or a command's first character
constexpr int PosData = 26;       // the blank after the type
constexpr int PosQuote = 27;      // a quoted text in a data line starts here
constexpr int MinPickLength = 28;

QChar at(const QString &line, int position)
{
    return line.at(position - 1);
}

} // namespace

void TForm1::BtSaveLogClick()
{
    QString name = hooks.saveFileName(QStringLiteral("Write log to file"), QStringLiteral("Text files|*.txt"));
    if (name.isEmpty())
        return;
    if (!name.toUpper().contains(QLatin1String(".TXT")))
        name += QLatin1String(".txt");

    // The new file takes the old one's place only once it is complete, so a
    // failed export leaves a file of that name as it was.
    QString reason;
    if (!SaveFileAtomically(name, MemoLog->bytesWithCrLf(), &reason))
        throw HandlerError(QStringLiteral("The log could not be written to %1: %2")
                               .arg(QDir::toNativeSeparators(name), reason));
}

void TForm1::MemoLogDblClick()
{
    const int index = MemoLog->cursorLine();
    if (index < 0)
        return;
    const QString line = MemoLog->line(index);
    if (line.size() < MinPickLength)
        return;

    const bool dataLine = at(line, PosType) == QLatin1Char('#');
    if (dataLine && at(line, PosQuote) == QLatin1Char('"')) {
        // A quoted tool name, quotes included.
        const QString value = line.mid(PosQuote - 1);
        (IsCtrlDown() ? EdToolF : edToolC)->setText(value);
        return;
    }
    if (!IsCtrlDown())
        return;
    const int start = dataLine ? PosData : PosType;
    EdCurrentCommand->setText(line.mid(start - 1));
    if (IsAltDown())
        BtAddToMemoClick();
}
