// The command list: editing and sending.

#include "app/tform1.h"

#include <QListWidget>

void TForm1::BtSendMemoClick() {}
void TForm1::BtSendNextClick() {}
void TForm1::BtCopyClick() {}
void TForm1::BtAddToMemoClick() {}
void TForm1::BtDelClick() {}
void TForm1::BtUpClick() {}
void TForm1::BtDwnClick() {}
void TForm1::cbMultipleClick() {}
void TForm1::InsertClipboardLine() {}
void TForm1::LbCommandsClick() {}
void TForm1::lbFilesClick() {}
void TForm1::LbCommandsDblClick() {}
void TForm1::LbCommandsKeyDown(int) {}
void TForm1::LbCommandsKeyPress(QChar) {}
