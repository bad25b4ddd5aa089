// The boot program in the boot flash window, its update, and the boot flash
// access layer over the flash driver.
#pragma once

#include <cstdint>

constexpr uint32_t kBootFlashStart = 0xFFF00000;
constexpr uint32_t kBootFlashEnd = 0xFFFFFFFF;
constexpr uint32_t kBootFlashSize = 0x100000;

int Flash_Init();
int Flash_Init_Boot();
int Flash_Erase(uint32_t start, uint32_t end);
int Flash_Erase_Boot();
int Flash_Write_Block(const void* source, uint32_t address, uint32_t length);
int Flash_Write_Boot(const void* source, uint32_t offset, uint32_t length);
void Flash_Lock();
int Flash_Lock_NoWait();
void Flash_Unlock();

int bootromUpdateBootcode();
// One erase-write-verify pass: 0, 1 (erase failed) or 2 (read-back differs).
int BootRomBootCodeUpdate(const uint8_t* code, uint32_t size);
// Programs the boot code carried by an image into the boot flash window.
int bspapiBootCodeUpdate(const char* imageName);
