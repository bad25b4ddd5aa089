// The hidden utilities menu (Boot Menu option 30) and its tools.
#pragma once

// The menu loop itself, BootCodeSecrets, is declared in boot/boot.h.
// Option 6: walking ones, walking zeros and address aliasing on an SDRAM block.
void SDRAMTest();
// Option 4: the processor and bus display.
void BootCodeBusStats();

// Option 1: the memory read/write command loop.
void memoryCommandLoop();
// Option 7: the working directory with sizes and dates, and the volume's totals.
void listWorkingDirectory();
// Option 12: writes "image1" to "tempcode.bin" and reads it back.
void fileSystemTest();
// Option 11: wipes the start of the flash disk and initialises it again.
void formatFlashDisk();
