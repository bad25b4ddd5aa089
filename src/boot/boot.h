// Start-up, the auto-boot choice and the Boot Menu; the globals they share
// with the launcher.
#pragma once

#include <cstdint>

#include "board/identity.h"

void usrAppInit();
void wait_for_input(int startStatus);
int BootMenuSelection(int kind);
int activate_backup_image();
int tffsPPCInit();
// Enters "files/" on the mounted flash disk and opens the event log and the
// image list there, creating what is missing as on a new board.
void openFlashDiskFiles();
int bspCpuInit();

void display_bootmenu(int showHidden);
int get_menu_option();
int get_confirmation();
// The hidden utilities menu.
void BootCodeSecrets();
