// Command files, the saved list and the recent-files list.

#include "app/safesave.h"
#include "app/tform1.h"
#include "commands/commandfile.h"

#include <QFile>
#include <QFileInfo>
#include <QListWidget>

namespace {

constexpr qint64 ReadChunk = 1 << 20;

// The whole file, read in chunks. False when a read fails part-way; `bytes`
// then holds what was read before the failure.
bool readAllBytes(QFile &file, QByteArray &bytes)
{
    for (;;) {
        const QByteArray chunk = file.read(ReadChunk);
        if (chunk.isEmpty())
            return file.error() == QFileDevice::NoError;
        bytes += chunk;
    }
}

} // namespace

void TForm1::BtLoadClick()
{
    QString name;
    const int f = FileIndex();
    if (f >= 0) {
        name = lbFiles->item(f)->text();
    } else {
        name = hooks.openFileName(QStringLiteral("Commands file to open"),
                                  QStringLiteral("Text files|*.txt;*.log|*.*|*.*"), true);
        if (name.isEmpty())
            return;
    }
    name = WithLoadExtension(name);

    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return;
    LbCommands->clear();
    listLoadedFromFile = true;

    QByteArray bytes;
    const bool complete = readAllBytes(file, bytes);
    file.close();
    if (!complete) {
        // Only the lines read to their end before the failure count.
        const qsizetype lastEnd = qMax(bytes.lastIndexOf('\n'), bytes.lastIndexOf('\r'));
        bytes.truncate(lastEnd + 1);
    }
    // One batch: a long file costs one layout of the list, not one per row.
    LbCommands->addItems(CommandsFromLines(SplitCommandFileLines(bytes)));

    if (complete && lbFiles->findItems(name, Qt::MatchFixedString).isEmpty())
        lbFiles->addItem(name);
}

void TForm1::lbFilesDblClick()
{
    BtLoadClick();
}

void TForm1::BtSaveClick()
{
    if (!IsShiftDown()) {
        if (!listLoadedFromFile)
            return;
        if (!hooks.confirm(QStringLiteral("Confirm"),
                           QStringLiteral("Really want to replace previous command list by current one ?")))
            return;
        defaultCommands.clear();
        for (int i = 0, n = LbCommands->count(); i < n; ++i)
            defaultCommands << LbCommands->item(i)->text();
        listLoadedFromFile = false;
        keepCommandsSection = false; // the stored list is the operator's now
        return;
    }

    QString name = hooks.openFileName(QStringLiteral("Write Command List to file"),
                                      QStringLiteral("Text files|*.txt"), false);
    if (name.isEmpty())
        return;
    name = WithSaveExtension(name);

    QStringList rows;
    rows.reserve(LbCommands->count());
    for (int i = 0, n = LbCommands->count(); i < n; ++i)
        rows << LbCommands->item(i)->text();

    // Written to a temporary file beside the target and put in its place only
    // when complete: a failed write leaves a file that was there untouched.
    const QFileInfo info(name);
    if (info.exists() && (!info.isFile() || !info.isWritable()))
        throw HandlerError(QStringLiteral("Cannot write the command list to %1: %2")
                               .arg(name,
                                    info.isFile() ? QStringLiteral("the file is read-only")
                                                  : QStringLiteral("it is not a file")));
    QString reason;
    if (!SaveFileAtomically(name, CommandFileBytes(rows), &reason))
        throw HandlerError(QStringLiteral("Cannot write the command list to %1: %2").arg(name, reason));
}

void TForm1::BtRestoreClick()
{
    LbCommands->clear();
    LbCommands->addItems(defaultCommands);
    listLoadedFromFile = false;
    listAppended = false;
}
