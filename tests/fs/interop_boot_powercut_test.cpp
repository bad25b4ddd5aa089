// Power cuts through the boot program's own paths on a flash volume, at
// random bus cycles of the NOR chip (STK_POWERCUT_CUTS cuts each, default 3,
// fixed seed): an image stored by the load path, the image list rewritten by
// an activation, and a format. The next start mounts the volume (a format
// cut short is formatted again) and starts the old or the new image, the list
// names only images that exist, and fsck.fat -n finds the volume clean.
#include <cstdlib>
#include <random>

#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "bspapi/bspapi.h"
#include "eventlog/eventlog.h"
#include "fs/flash_volume.h"
#include "image/dim.h"
#include "osapi/osapi.h"
#include "sim/nor_chip.h"
#include "support/board_volume_files.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

std::string image(uint32_t seed) {
    stktest::ImageSpec spec;
    spec.payload = stktest::randomBytes(40000, seed);
    return stktest::makeImage(spec);
}
const std::string kOld = image(1), kNew = image(2), kBackup = image(3);

struct Scenario {
    const char* name;
    void (*operation)();
};

class BootPowerCut : public ::testing::TestWithParam<Scenario> {
  protected:
    // The board at power-on, its flash disk the flash volume.
    NorChip* powerOn() {
        tb.powerOn();
        plat::unmountAllVolumes();
        plat::resetProcessState();
        plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
        return plat::board().map().find<NorChip>();
    }
    // What start-up has done before the operator's choice.
    void startUp(bool format) {
        Flash_Init();
        if (format) {
            ASSERT_EQ(plat::tffsDevFormat(0, nullptr), 0);
        }
        ASSERT_EQ(plat::usrTffsConfig(0, 0, "/DskVol/"), 0);
        plat::mkdir("/DskVol/files");
        ASSERT_EQ(plat::chdir("/DskVol/files"), 0);
        Log_Init(16384, nullptr, 5, 2, 7);
        dimInitialize();
    }
    stktest::TestBoard tb{false};
};

TEST_P(BootPowerCut, NextStartFindsTheOldOrTheNewState) {
    const Scenario& s = GetParam();
    powerOn();
    startUp(true);
    for (auto [name, bytes] :
         {std::pair{"image1", &kOld}, {"image2", &kBackup}, {"xcode.bin", &kNew}})
        ASSERT_EQ(osapiFsWrite(name, bytes->data(), uint32_t(bytes->size())), 0);
    dimInitialize();  // image1 active, image2 backup
    plat::unmountAllVolumes();
    const std::string flash = tb.dir() + "/norflash.bin", before = stktest::readHostFile(flash);
    const char* env = std::getenv("STK_POWERCUT_CUTS");
    std::mt19937 rng(2031);
    uint64_t cycles = 0;
    for (int cut = -1; cut < (env ? std::atoi(env) : 3); ++cut) {
        stktest::writeHostFile(flash, before);
        NorChip* chip = powerOn();
        startUp(false);
        uint64_t first = chip->busCycles(), at = cut < 0 ? 0 : 1 + rng() % cycles;
        chip->cutPowerAfter(at);
        auto stop = tb.run(s.operation);
        if (cut < 0) {  // the first run, whole, counts the operation's cycles
            cycles = chip->busCycles() - first;
            continue;
        }
        SCOPED_TRACE("cut at cycle " + std::to_string(at) + " of " + std::to_string(cycles));
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::PowerLoss);
        powerOn();
        stop = tb.run([] { usrAppInit(); });
        const std::string out = tb.con().takeOutput();
        ASSERT_TRUE(stop);
        if (std::string(s.name) != "Format") {  // a format cut short may be formatted again
            EXPECT_EQ(out.find("formatting..."), std::string::npos) << out;
            EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << out;
            EXPECT_TRUE(tb.readFile("image1") == kOld || tb.readFile("image1") == kNew);
        }
        char name[40] = {};
        for (auto get : {dimActiveImageFileNameGet, dimBackupImageFileNameGet})
            if (get(name) == 0) {
                EXPECT_EQ(dimImageExists(name), 1) << name;
            }
        plat::unmountAllVolumes();
        EXPECT_EQ(stktest::exportedVolumeFindings(tb.dir() + "/volume.img"), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BootPowerCut,
    ::testing::Values(Scenario{"Store", [] { bspapiImageAdd("xcode.bin", "image1"); }},
                      Scenario{"ListRewrite", [] { dimImageActivate("image2"); }},
                      Scenario{"Format", [] { plat::tffsDevFormat(0, nullptr); }}),
    [](const auto& i) { return std::string(i.param.name); });

}  // namespace
