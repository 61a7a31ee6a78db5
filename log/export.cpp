// Log export and pick-up.

#include "app/tform1.h"
#include "app/safesave.h"
#include "commands/commandfile.h"
#include "log/logview.h"
#include "log/pickup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>

void TForm1::BtSaveLogClick()
{
    QString name =
        hooks.saveFileName(QStringLiteral("Write log to file"), QStringLiteral("Text files|*.txt"));
    if (name.isEmpty())
        return;
    name = WithSaveExtension(name);

    // The new file takes the old one's place only once it is complete, so a
    // failed export leaves a file of that name as it was. A long export
    // shows its progress after half a second and can be cancelled; the
    // window keeps painting meanwhile.
    const QString label = QStringLiteral("Writing the log to %1").arg(QDir::toNativeSeparators(name));
    QElapsedTimer clock;
    clock.start();
    qint64 lastShown = -1;
    qint64 totalBytes = 0;
    bool cancelled = false;
    auto progress = [&](qint64 done, qint64 total) {
        totalBytes = total;
        const qint64 now = clock.elapsed();
        if (now < 500 || (lastShown >= 0 && now - lastShown < 40))
            return true;
        lastShown = now;
        cancelled = !hooks.progress(label, done, total);
        return !cancelled;
    };
    QString reason;
    const bool written = SaveFileAtomically(
        name, [&](QIODevice &out, QString *why) { return MemoLog->writeTo(out, progress, why); }, &reason);
    if (lastShown >= 0)
        hooks.progress(label, totalBytes, totalBytes);
    if (!written && !cancelled)
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
