// Start-up, the auto-boot choice and the Boot Menu; the globals they share
// with the launcher.
#pragma once

#include <cstdint>

// Source path that the start-up and menu messages name for their failures.
constexpr const char* kBootConfigSource = "../../../bsp/cpu/tb8541/vxworks/start/bootConfig";

// This board's target device code; images for other codes are refused.
constexpr uint32_t kTargetDevice = 0x00508541;

// Console line speed in bits per second.
extern int32_t consoleBaudRate;
// File name of the active operational-code image (19 characters and the zero).
extern char activeImageFileName[20];

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
