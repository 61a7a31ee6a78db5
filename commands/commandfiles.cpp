// Command files, the saved list and the recent-files list.

#include "app/tform1.h"

#include <QListWidget>

void TForm1::BtLoadClick() {}
void TForm1::lbFilesDblClick() {}
void TForm1::BtSaveClick() {}

void TForm1::BtRestoreClick()
{
    LbCommands->clear();
    LbCommands->addItems(defaultCommands);
    listLoadedFromFile = false;
    listAppended = false;
}
