// The boot program in the boot flash window and its update.
#pragma once

int Flash_Init();
int bootromUpdateBootcode();
