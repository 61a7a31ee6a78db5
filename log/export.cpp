// Log export and pick-up.

#include "app/tform1.h"
#include "app/safesave.h"
#include "commands/commandfile.h"
#include "log/logview.h"
#include "log/pickup.h"

#include <QDir>
#include <QLineEdit>

void TForm1::BtSaveLogClick()
{
    QString name =
        hooks.saveFileName(QStringLiteral("Write log to file"), QStringLiteral("Text files|*.txt"));
    if (name.isEmpty())
        return;
    name = WithSaveExtension(name);

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
    const LogPick pick = PickFromLogLine(MemoLog->line(index), IsCtrlDown());
    if (pick.kind == LogPick::ToolName) {
        (IsCtrlDown() ? EdToolF : edToolC)->setText(pick.value);
    } else if (pick.kind == LogPick::Command) {
        EdCurrentCommand->setText(pick.value);
        if (IsAltDown())
            BtAddToMemoClick();
    }
}
