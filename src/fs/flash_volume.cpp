// Mount and format of the flash disk (the FAT volume on the translation
// layer, formats in ftl.h and fat_format.h), RAM disk volumes, and images of
// every logical sector in order.
#include "fs/flash_volume.h"

#include <algorithm>
#include <cerrno>

#include "fs/fat_format.h"
#include "fs/fat_volume.h"
#include "fs/ftl.h"
#include "platform/clock.h"

namespace fs {

namespace {

constexpr uint32_t kChunkSectors = 128;

// The translation layer of flash drive 0, mounted (or formatted when asked
// and it holds none).
int openFtl(std::unique_ptr<Ftl>* ftl, const plat::TffsFormatParams* formatWith) {
    plat::FLFlash flash;
    if (plat::tffsIdentify(&flash) != plat::flOK) return -ENXIO;
    *ftl = std::make_unique<Ftl>(flash);
    int rc = (*ftl)->mount();
    if (rc == -ENODEV && formatWith) rc = (*ftl)->format(*formatWith, 0);
    return rc;
}

uint32_t newVolumeId() {
    return uint32_t(plat::time()) ^ uint32_t(plat::nowUs());
}

}  // namespace

int FlashVolumeDriver::mount(std::unique_ptr<plat::Volume>* volume) {
    plat::FLFlash flash;
    int rc = plat::tffsIdentify(&flash);
    if (rc != plat::flOK) return rc;
    auto ftl = std::make_unique<Ftl>(flash);
    if (ftl->mount() != 0) return flBadFormat;
    std::vector<std::string> notes = ftl->repairs();
    std::unique_ptr<FatVolume> fat;
    if (FatVolume::mount(std::move(ftl), name_, &fat, notes) != 0) return flBadFormat;
    *volume = std::move(fat);
    return plat::flOK;
}

int FlashVolumeDriver::format(const plat::TffsFormatParams& params) {
    plat::FLFlash flash;
    int rc = plat::tffsIdentify(&flash);
    if (rc != plat::flOK) return rc;
    Ftl ftl(flash);
    rc = params.formatTranslationLayer ? ftl.format(params, 95) : ftl.mount();
    if (rc == 0)
        rc = makeFatVolume(ftl, uint32_t(std::clamp(params.noFATCopies, 1, 2)), newVolumeId());
    if (rc != 0) return rc == -EROFS ? plat::flWriteProtect : flBadFormat;
    if (params.progress) params.progress(100);
    return plat::flOK;
}

std::unique_ptr<plat::FlashDiskDriver> makeFlashVolumeDriver() {
    return std::make_unique<FlashVolumeDriver>();
}

int createRamVolume(uint64_t bytes, const std::string& name, std::unique_ptr<plat::Volume>* out) {
    if (bytes / kSectorSize > 0xFFFFFFFFu / 2) return -EINVAL;
    auto disk = std::make_unique<RamDisk>(uint32_t(bytes / kSectorSize));
    if (!disk->ok()) return bytes < kSectorSize ? -EINVAL : -ENOMEM;
    int rc = makeFatVolume(*disk, 2, newVolumeId());
    if (rc != 0) return rc;
    std::unique_ptr<FatVolume> fat;
    rc = FatVolume::mount(std::move(disk), name, &fat);
    if (rc == 0) *out = std::move(fat);
    return rc;
}

int exportImage(BlockDevice& dev, std::vector<uint8_t>* image) {
    image->assign(size_t(dev.sectorCount()) * kSectorSize, 0);
    for (uint32_t s = 0; s < dev.sectorCount(); s += kChunkSectors) {
        uint32_t n = std::min(kChunkSectors, dev.sectorCount() - s);
        int rc = dev.read(s, n, image->data() + size_t(s) * kSectorSize);
        if (rc != 0) return rc;
    }
    return 0;
}

int importImage(BlockDevice& dev, const std::vector<uint8_t>& image) {
    FatGeometry g;
    if (image.size() != size_t(dev.sectorCount()) * kSectorSize ||
        !parseBootSector(image.data(), dev.sectorCount(), &g))
        return -EINVAL;
    int rc = dev.discard(0, 1);
    for (uint32_t s = 1; s < dev.sectorCount() && rc == 0; s += kChunkSectors) {
        uint32_t n = std::min(kChunkSectors, dev.sectorCount() - s);
        rc = dev.write(s, n, image.data() + size_t(s) * kSectorSize);
    }
    return rc == 0 ? dev.write(0, 1, image.data()) : rc;
}

int exportFlashImage(std::vector<uint8_t>* image) {
    std::unique_ptr<Ftl> ftl;
    int rc = openFtl(&ftl, nullptr);
    return rc == 0 ? exportImage(*ftl, image) : rc;
}

int importFlashImage(const std::vector<uint8_t>& image) {
    std::unique_ptr<Ftl> ftl;
    plat::TffsFormatParams params;
    int rc = openFtl(&ftl, &params);
    return rc == 0 ? importImage(*ftl, image) : rc;
}

uint32_t flashSectorCount() {
    std::unique_ptr<Ftl> ftl;
    int rc = openFtl(&ftl, nullptr);
    if (rc == -ENODEV) return ftl->formatSectors(plat::TffsFormatParams{});
    return rc == 0 ? ftl->sectorCount() : 0;
}

}  // namespace fs
