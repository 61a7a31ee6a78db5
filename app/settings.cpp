// The settings file.

#include "app/tform1.h"
#include "app/profile.h"

void TForm1::LoadSettings() {}
void TForm1::SaveSettings() {}
