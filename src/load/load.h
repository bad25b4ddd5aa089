// Loading operational code and configuration over the console, the prom file
// load and the NVRAM file.
#pragma once

#include <cstdint>

// Receives an STK image into "xcode.bin", checks it and stores it as the
// active image. 0 stored (or handed to the image list's repair), 1 any
// failure of reception, check or storage, 2 the received file is unreadable.
int load_operational_code(uint32_t targetDevice);

// Receives a configuration file into "tempcfg.bin". 0 received, 1 failed.
int load_configuration();

// Receives the 256-byte prom file "VPDprom.txt", checks its CRC and its MAC
// address record, and writes it back with a read-back check. All outcomes
// are console messages.
void ConfigDataLoadNVRAM();

// The board's Ethernet address for a network device ("bc", unit 0). The
// address comes from the VPD record handed in `enetAddr` (6 bytes), which is
// left as it is; -1 when it is unusable (all 0x00 or all 0xFF) or the device
// is not the board's, else 0.
int sysEnetAddrGet(const char* device, int unit, uint8_t* enetAddr);

// The NVRAM file "nvram.bin": the whole content is `length` bytes from offset
// 0. Both return 0, or -1 with a console message.
int sysNvRamSet(const char* buffer, int32_t length);
int sysNvRamGet(char* buffer, int32_t length);
