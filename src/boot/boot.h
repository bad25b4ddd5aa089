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
int bspCpuInit();

void display_bootmenu(int showHidden);
int get_menu_option();
int get_confirmation();
// The hidden utilities menu.
void BootCodeSecrets();
