// Log export and pick-up.

#include "app/tform1.h"

void TForm1::BtSaveLogClick() {}
void TForm1::MemoLogDblClick() {}
