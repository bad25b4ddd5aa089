// Flash drive 0: the flash translation layer's view of the flash chip (its
// memory technology driver, registered by the board's flash driver) and the
// mount and format of the flash disk "/DskVol/" on it.
#pragma once

#include <cstdint>
#include <memory>

namespace plat {

class Volume;

// Status numbers of the translation layer.
constexpr int flOK = 0;
constexpr int flWriteProtect = 19;
constexpr int flUnknownMedia = 26;
constexpr int flWriteFault = 29;

// The socket the flash sits in.
struct FlSocket {
    int busWidth = 0;
    int windowSpeed = 0;
    bool writeProtected = false;
};
void flSetWindowBusWidth(FlSocket* socket, int bits);
void flSetWindowSpeed(FlSocket* socket, int nanoseconds);
bool flWriteProtected(FlSocket* socket);
// The socket of drive 0 (a test can write-protect it).
FlSocket& tffsSocket();
// Offset the layer adds to the volume's sector numbers; 1 until a driver
// identifies its flash.
extern int flFileSysSectorStart;

// The flash record that an identify routine fills. Card addresses count from
// the start of the flash disk; map returns the bus address of one, where the
// flash contents can be read with bus cycles (platform/bus.h).
struct FLFlash {
    uint16_t type = 0;
    uint32_t erasableBlockSize = 0;
    uint32_t chipSize = 0;
    // Bytes the chip takes in one write-buffer program (programs that start on
    // such a boundary go in whole buffers); 0 when it has no write buffer.
    uint32_t writeBufferSize = 0;
    int noOfChips = 0;
    int interleaving = 0;
    FlSocket* socket = nullptr;
    uint32_t (*map)(FLFlash* flash, uint32_t cardAddress, int length) = nullptr;
    int (*write)(FLFlash* flash, uint32_t cardAddress, const void* buffer, int length,
                 int overwrite) = nullptr;
    int (*erase)(FLFlash* flash, int firstBlock, int blockCount) = nullptr;
};
using MtdIdentifyRoutine = int (*)(FLFlash* flash);
// The layer's MTD table has one entry; the board's flash driver registers its
// identify routine there when it starts (a later registration replaces it).
// Without one, the flash disk is unknown media: it neither mounts nor formats.
void tffsMtdRegister(MtdIdentifyRoutine identify);
// Asks the registered driver to identify the flash into `flash` (socket set
// to drive 0's); flOK, or flUnknownMedia without a driver or a usable answer.
int tffsIdentify(FLFlash* flash);

// The format parameters of tffsDevFormat.
struct TffsFormatParams {
    int bootImageLen = 0;    // no boot image area
    int percentUse = 99;     // per cent of the flash in use
    int noOfSpareUnits = 1;  // units held back for reclaims
    uint32_t vmAddressingLimit = 0x10000;
    void (*progress)(int percent) = nullptr;
    int noFATCopies = 2;
    bool formatTranslationLayer = true;
};

// What keeps the flash disk: the FAT file system on the translation layer,
// or on a host a folder that stands in for it.
class FlashDiskDriver {
  public:
    virtual ~FlashDiskDriver() = default;
    // Mounts the flash disk: flOK and the volume, or a non-zero status (the
    // medium is not formatted or cannot be read).
    virtual int mount(std::unique_ptr<Volume>* volume) = 0;
    // Formats it afresh; flOK or a non-zero status. Every file is lost.
    virtual int format(const TffsFormatParams& params) = 0;
};

// Mount / format of flash drive 0 through the installed driver.
int usrTffsConfig(int drive, int removable, const char* name);
int tffsDevFormat(int drive, void (*progress)(int percent));

}  // namespace plat
