// The flash disk as the boot program mounts it: the FAT volume on the flash
// translation layer of flash drive 0 (its flash reached through the memory
// technology driver the board's flash driver registered), RAM disk volumes
// from the same FAT code, and whole-volume images for tools.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs/block_device.h"
#include "platform/tffs.h"
#include "platform/volume.h"

namespace fs {

class FlashVolumeDriver : public plat::FlashDiskDriver {
  public:
    // `name` heads the disk checker's report line.
    explicit FlashVolumeDriver(std::string name = "DskVol") : name_(std::move(name)) {}
    // flOK and the volume; flUnknownMedia without a usable flash; flBadFormat
    // when the flash holds no translation layer or no FAT volume.
    int mount(std::unique_ptr<plat::Volume>* volume) override;
    // The translation layer (when params.formatTranslationLayer) and then an
    // empty FAT16 volume with params.noFATCopies tables; progress rises to 100.
    int format(const plat::TffsFormatParams& params) override;

  private:
    std::string name_;
};

std::unique_ptr<plat::FlashDiskDriver> makeFlashVolumeDriver();

// A freshly formatted FAT volume on a RAM disk of `bytes` (whole 512-byte
// blocks). 0, -EINVAL when that is too small for a FAT volume, or -ENOMEM.
int createRamVolume(uint64_t bytes, const std::string& name, std::unique_ptr<plat::Volume>* out);

// Every sector of a device in order, and back: an image of exactly the
// device's size holding a FAT volume becomes the device's contents (the boot
// sector last, so that an interrupted import leaves no half volume).
int exportImage(BlockDevice& dev, std::vector<uint8_t>* image);
int importImage(BlockDevice& dev, const std::vector<uint8_t>& image);
// The same for the flash disk's translation layer; the flash disk must not be
// mounted meanwhile. importFlashImage formats the translation layer when it
// holds none. 0 or a negated errno value.
int exportFlashImage(std::vector<uint8_t>* image);
int importFlashImage(const std::vector<uint8_t>& image);
// Logical sectors of the flash disk's translation layer, or those a format
// with the usual parameters would give it; 0 without a usable flash.
uint32_t flashSectorCount();

}  // namespace fs
