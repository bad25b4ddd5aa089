// Flash drive 0: the registered memory technology driver, the socket, and the
// mount and format of the flash disk through the installed driver.
#include "platform/tffs.h"

#include <cstring>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/services.h"

namespace plat {

int flFileSysSectorStart = 1;

namespace {
MtdIdentifyRoutine mtdIdentify = nullptr;
FlSocket socket0;
STK_RESET_HOOK {
    socket0 = FlSocket{};
    flFileSysSectorStart = 1;
}
constexpr const char* kFlashDiskName = "/DskVol/";
}  // namespace

void tffsMtdRegister(MtdIdentifyRoutine identify) {
    mtdIdentify = identify;
}
void flSetWindowBusWidth(FlSocket* socket, int bits) {
    socket->busWidth = bits;
}
void flSetWindowSpeed(FlSocket* socket, int nanoseconds) {
    socket->windowSpeed = nanoseconds;
}
bool flWriteProtected(FlSocket* socket) {
    return socket->writeProtected;
}
FlSocket& tffsSocket() {
    return socket0;
}

int tffsIdentify(FLFlash* flash) {
    if (!mtdIdentify) return flUnknownMedia;
    *flash = FLFlash{};
    flash->socket = &socket0;
    int rc = mtdIdentify(flash);
    if (rc != flOK) return rc;
    bool usable = flash->map && flash->write && flash->erase && flash->erasableBlockSize > 0;
    return usable ? flOK : flUnknownMedia;
}

int usrTffsConfig(int drive, int /*removable*/, const char* name) {
    if (drive != 0) {
        plat::printf("drive is out of range (0-%d).\n", 0);
        return -1;
    }
    if (!name || std::strcmp(name, kFlashDiskName) != 0) {
        plat::printf("tffsDevCreate failed.\n");
        return -1;
    }
    FlashDiskDriver* driver = services().flashDisk;
    unmountVolume(kFlashDiskName);
    std::unique_ptr<Volume> volume;
    if (!driver || driver->mount(&volume) != flOK || !volume) return -1;
    return mountVolume(kFlashDiskName, std::move(volume)) ? 0 : -1;
}

int tffsDevFormat(int drive, void (*progress)(int)) {
    FlashDiskDriver* driver = services().flashDisk;
    if (drive != 0 || !driver) return -1;
    unmountVolume(kFlashDiskName);
    TffsFormatParams params;
    params.progress = progress;
    return driver->format(params);
}

}  // namespace plat
