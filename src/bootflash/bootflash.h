// The boot program in the boot flash window and its update.
#pragma once

int Flash_Init();
int bootromUpdateBootcode();
// Programs the boot code carried by an image into the boot flash window.
int bspapiBootCodeUpdate(const char* imageName);
