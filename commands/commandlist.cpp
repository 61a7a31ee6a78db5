// The command list: editing and sending.
//
// Current command: in single-selection mode the selected row; in multiple
// (extended) selection mode the row with the keyboard focus, whatever its
// selection mark. A list with rows in multiple mode always has a focus row:
// the first one until another is made current.

#include "app/tform1.h"
#include "commands/keycodes.h"
#include "link/protocol.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTcpSocket>

namespace {

bool singleMode(const QListWidget *list)
{
    return list->selectionMode() == QAbstractItemView::SingleSelection;
}

int selectedRow(const QListWidget *list)
{
    const QModelIndexList rows = list->selectionModel()->selectedIndexes();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void swapTexts(QListWidget *list, int a, int b)
{
    QListWidgetItem *first = list->item(a);
    QListWidgetItem *second = list->item(b);
    const QString text = first->text();
    first->setText(second->text());
    second->setText(text);
}

} // namespace

int TForm1::CommandIndex() const
{
    if (singleMode(LbCommands))
        return selectedRow(LbCommands);
    const int row = LbCommands->currentRow();
    if (row >= 0)
        return row;
    return LbCommands->count() > 0 ? 0 : -1;
}

void TForm1::SetCommandIndex(int index)
{
    if (index >= LbCommands->count())
        return;
    if (singleMode(LbCommands)) {
        if (index < 0)
            LbCommands->selectionModel()->clear();
        else
            LbCommands->setCurrentRow(index);
        return;
    }
    // Multiple mode: only the focus moves, the marks stay; it cannot be none.
    if (index < 0)
        return;
    LbCommands->selectionModel()->setCurrentIndex(LbCommands->model()->index(index, 0),
                                                  QItemSelectionModel::NoUpdate);
}

int TForm1::FileIndex() const
{
    return selectedRow(lbFiles);
}

// ---------------------------------------------------------------- sending

void TForm1::BtSendMemoClick()
{
    if (multiSendActive) {
        // A second Send while the selected rows go out stops them.
        EndMultiSend(QStringLiteral("stopped by the operator"));
        return;
    }
    if (cbMultiple->isChecked()) {
        SendSelectedCommands();
        return;
    }
    const int c = CommandIndex();
    if (c < 0)
        return;
    SendToIpp(StripComment(LbCommands->item(c)->text()));
}

// Sends every selected row in list order, each after the acknowledge of the
// one before. The rows' texts are taken when it starts, so edits, loads and
// mode switches while it waits change nothing about what goes out. It ends
// early, sending nothing more, when the window closes, the server link drops
// (rows never go out over a connection made later), the acknowledge wait
// times out, or the operator presses Send (or Enter in the list) again.
void TForm1::SendSelectedCommands()
{
    QStringList texts;
    for (int i = 0, n = LbCommands->count(); i < n; ++i) {
        if (LbCommands->item(i)->isSelected())
            texts << LbCommands->item(i)->text();
    }
    if (texts.isEmpty())
        return;
    if (!serverConnected || !IdTCPClient1)
        throw HandlerError(QStringLiteral("Not Connected"));
    multiSendRows = texts;
    multiSendNext = 0;
    multiSendActive = true;
    BtSendMemo->setToolTip(QStringLiteral("Sending the selected commands: click again to stop"));
    AdvanceMultiSend();
}

// Sends the next row once the one before is acknowledged; called at the
// start, after each acknowledge and on the time-out. The last row goes out
// as a plain send: nothing waits for its acknowledge.
void TForm1::AdvanceMultiSend()
{
    while (multiSendActive) {
        if (sendTimedOut && !clearToSend)
            return EndMultiSend(QStringLiteral("acknowledge time-out"));
        if (!clearToSend)
            return; // the acknowledge or the time-out moves it on
        const QString text = multiSendRows.at(multiSendNext++);
        if (multiSendNext == multiSendRows.size())
            EndMultiSend(QString());
        try {
            SendToIpp(StripComment(text));
        } catch (...) {
            EndMultiSend(QString());
            throw;
        }
    }
}

void TForm1::EndMultiSend(const QString &reason)
{
    if (!multiSendActive)
        return;
    const qsizetype left = multiSendRows.size() - multiSendNext;
    multiSendActive = false;
    multiSendRows.clear();
    multiSendNext = 0;
    BtSendMemo->setToolTip(QString());
    if (!reason.isEmpty() && left > 0)
        LogEvent(QStringLiteral("---------- Multiple send ended, %1 command%2 not sent (%3)")
                     .arg(left)
                     .arg(left == 1 ? QString() : QStringLiteral("s"), reason));
}

void TForm1::BtSendNextClick()
{
    if (multiSendActive) {
        EndMultiSend(QStringLiteral("stopped by the operator"));
        return;
    }
    if (CommandIndex() < 0) {
        SetCommandIndex(0);
        return;
    }
    BtSendMemoClick();
    if (closed)
        return;
    const int c = CommandIndex();
    if (c >= 0)
        SetCommandIndex(c + 1);
}

// ---------------------------------------------------------------- editing

void TForm1::BtCopyClick()
{
    const int c = CommandIndex();
    if (c < 0)
        return;
    EdCurrentCommand->setText(StripComment(LbCommands->item(c)->text()));
}

void TForm1::BtAddToMemoClick()
{
    if (IsShiftDown()) {
        lineClipboard = EdCurrentCommand->text();
        InsertClipboardLine();
        return;
    }
    LbCommands->addItem(EdCurrentCommand->text());
    listAppended = true;
}

void TForm1::InsertClipboardLine()
{
    const int c = CommandIndex();
    if (c < 0)
        LbCommands->addItem(lineClipboard);
    else
        LbCommands->insertItem(c, lineClipboard); // the current row moves down with its item
}

void TForm1::BtDelClick()
{
    const int c = CommandIndex();
    const int f = FileIndex();
    if (c >= 0 && f < 0) {
        lineClipboard = LbCommands->item(c)->text();
        delete LbCommands->takeItem(c);
        if (singleMode(LbCommands) || c > 0)
            SetCommandIndex(c - 1);
        else if (LbCommands->count() > 0)
            SetCommandIndex(0);
        return;
    }
    if (f >= 0 && c < 0) {
        delete lbFiles->takeItem(f);
        if (f > 0)
            lbFiles->setCurrentRow(f - 1);
        else
            lbFiles->selectionModel()->clear();
        return;
    }
    SetCommandIndex(-1);
    lbFiles->selectionModel()->clear();
}

void TForm1::BtUpClick()
{
    const int c = CommandIndex();
    if (c <= 0)
        return;
    lineClipboard = LbCommands->item(c)->text();
    swapTexts(LbCommands, c - 1, c);
    if (!singleMode(LbCommands)) {
        LbCommands->item(c - 1)->setSelected(false);
        LbCommands->item(c)->setSelected(false);
    }
    SetCommandIndex(c - 1);
}

void TForm1::BtDwnClick()
{
    const int c = CommandIndex();
    if (c < 0 || c >= LbCommands->count() - 1)
        return;
    swapTexts(LbCommands, c, c + 1);
    if (!singleMode(LbCommands)) {
        LbCommands->item(c)->setSelected(false);
        LbCommands->item(c + 1)->setSelected(false);
    }
    SetCommandIndex(c + 1);
}

void TForm1::cbMultipleClick()
{
    const bool multiple = cbMultiple->isChecked();
    const int current = CommandIndex();
    if (multiple) {
        LbCommands->setSelectionMode(QAbstractItemView::ExtendedSelection);
        SetCommandIndex(current >= 0 ? current : 0);
    } else {
        // Back to one selected row: the focus row, when it was marked.
        const bool marked = current >= 0 && LbCommands->item(current)->isSelected();
        LbCommands->setSelectionMode(QAbstractItemView::SingleSelection);
        LbCommands->selectionModel()->clear();
        if (marked)
            SetCommandIndex(current);
    }
    BtCopy->setEnabled(!multiple);
    BtSendNext->setEnabled(!multiple && BtSend->isEnabled());
}

// ---------------------------------------------------------------- mouse and keys

void TForm1::LbCommandsClick()
{
    lbFiles->selectionModel()->clear();
}

void TForm1::lbFilesClick()
{
    SetCommandIndex(-1);
}

void TForm1::LbCommandsDblClick()
{
    if (IsCtrlDown() && BtCopy->isEnabled()) {
        BtCopyClick();
        return;
    }
    if (BtSendMemo->isEnabled() && !cbMultiple->isChecked())
        BtSendMemoClick();
}

void TForm1::LbCommandsKeyDown(int virtualKey)
{
    if (virtualKey == VirtualKeyDelete)
        BtDelClick();
    else if (virtualKey == VirtualKeyInsert && !lineClipboard.isEmpty())
        InsertClipboardLine();
}

void TForm1::LbCommandsKeyPress(QChar key)
{
    if (key == QLatin1Char('\r'))
        BtSendNextClick();
}
