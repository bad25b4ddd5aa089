// Start-up: console, clock, flash disk, event log, image list, the image check
// and the two-second auto-boot choice.
#include <cstdlib>
#include <cstring>

#include "board/i2c.h"
#include "board/rtc.h"
#include "boot/boot.h"
#include "boot/menu_loop.h"
#include "bootflash/bootflash.h"
#include "bspapi/bspapi.h"
#include "eventlog/eventlog.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "launch/diag.h"
#include "launch/launch.h"
#include "osapi/osapi.h"
#include "platform/platform.h"

namespace {

constexpr const char* kVersion = "Version: 12 Dec 2010";
constexpr const char* kBootCodeFile = "bootcode.bin";
constexpr const char* kBootUpdateMarker = "bootupdate.dat";

void formatProgress(int percent) {
    plat::printf("\rFormatting ... %d%%", percent);
    if (percent >= 100) plat::printf("\nSetup ... ");
}

// Sets the calendar clock from the real-time clock, or from the fixed date
// when the clock chip cannot be read.
void setSystemClock() {
    std::tm tm{};
    uint32_t year, month, day, hour, minute, second;
    if (tarnRtcInit() == 0 && tarnRtcGet(&year, &month, &day, &hour, &minute, &second) == 0) {
        tm.tm_year = int(year) - 1900;
        tm.tm_mon = int(month) - 1;
        tm.tm_mday = int(day);
        tm.tm_hour = int(hour);
        tm.tm_min = int(minute);
        tm.tm_sec = int(second);
    } else {
        tm.tm_year = 105;
        tm.tm_mon = 3;
        tm.tm_mday = 22;
        tm.tm_hour = 8;
        tm.tm_min = 0;
        tm.tm_sec = 0;
        tm.tm_wday = 5;
    }
    std::time_t t = plat::mktime(&tm);
    plat::clock_settime(t, 0);
}

[[noreturn]] void haltAfterFailedMount() {
    plat::printf(
        "\n\nERROR: tffsPPCInit failed.\n       Boot cannot continue.\n       Code halted. "
        "Manual reset required.\n\n");
    plat::halt();
}

void enterFilesDirectory(bool report) {
    if (plat::chdir("/DskVol/") == -1 && report) plat::printf("TFFS: chdir failed.\n");
    plat::mkdir("files/");
    plat::cd("files/");
}

}  // namespace

int tffsPPCInit() {
    int rc = plat::usrTffsConfig(0, 0, "/DskVol/");
    if (rc == 0) {
        plat::printf("\n\n");
        return 0;
    }
    plat::printf("usrTffsConfig returned 0x%x, formatting...\n", unsigned(rc));
    int frc = plat::tffsDevFormat(0, formatProgress);
    if (frc != 0) plat::printf("tffsDevFormat returned 0x%x\n", unsigned(frc));
    rc = plat::usrTffsConfig(0, 0, "/DskVol/");
    if (rc != 0) plat::printf("usrTffsConfig returned 0x%x\n", unsigned(rc));
    plat::printf("\n\nTFFS Formatted....Device details...\n");
    plat::dosFsShow("/DskVol/", 1);
    plat::printf("\n\n");
    return rc;
}

void openFlashDiskFiles() {
    enterFilesDirectory(true);
    Log_Init(16384, nullptr, 5, 2, 7);
    dimInitialize();
}

int activate_backup_image() {
    char name[kDimFileNameWidth + 1] = {};
    if (dimBackupImageFileNameGet(name) != 0) {
        plat::printf("No Backup Image available.\n");
        return 1;
    }
    // An activation that could not be written changed nothing: the old image
    // stays active and is neither checked nor announced as the backup.
    // (Already pending active is the same change made earlier.)
    int rc = dimImageActivate(name);
    if (rc != 0 && rc != kBspAlreadySo) return 1;
    // Reloading the list makes it the active image and sets the active
    // image file name from the list.
    dimInitialize();
    if (std::strcmp(activeImageFileName, name) != 0) return 1;
    if (check_oprcrc_in_flash() != 0) {
        plat::printf("Backup Image failed crc check. \n");
        return 1;
    }
    plat::printf("Backup image - %s activated.\n", name);
    return 0;
}

void usrAppInit() {
    // The OS layer's messages go through the log utility.
    osapiLogRoutineSet(zq_vlogf);
    int opts = plat::ioctl(plat::kConsoleFd, plat::FIOGETOPTIONS, 0);
    plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, opts & ~plat::OPT_MON_TRAP);

    consoleBaudRate = 9600;
    if (plat::ioctl(plat::kConsoleFd, plat::FIOBAUDRATE, 9600) == -1)
        plat::printf("%s:%d: Attempt to set baudrate to 9600 failed\n", kBootConfigSource, 1245);

    plat::fflush();
    for (int i = 0; i < 25; ++i) plat::printf("\n");

    i2cInit(0x90, 0x10, 0x3f);
    Flash_Init();
    setSystemClock();
    Flash_Init();

    if (tffsPPCInit() != 0) haltAfterFailedMount();
    openFlashDiskFiles();

    plat::printf("Boot Menu %s\n", kVersion);
    plat::fflush();

    if (fellActiveImageGet() == 1) {
        if (fellDiagImageCrcCheck() == 0) {
            wait_for_input(0);
            return;
        }
        plat::printf("\n\nDiag image can not be found. Falling through to system image\n");
        fellActiveImageSet(2);
        if (check_oprcrc_in_flash() == 0) {
            wait_for_input(0);
            return;
        }
    } else {
        plat::printf("\nCalculating CRC of active image...");
        if (check_oprcrc_in_flash() == 0) {
            plat::printf("done...\n");
            wait_for_input(0);
            return;
        }
    }
    plat::printf("\n\nActive image failed crc check. Activating backup image \n");
    if (activate_backup_image() != 0) {
        plat::printf("Failed to activate Backup Image.\n");
        wait_for_input(1);
    } else {
        wait_for_input(0);
    }
}

int BootMenuSelection(int kind) {
    for (;;) {
        plat::printf("Select an option. If no selection in 2 seconds then\n");
        if (kind == 1) {
            plat::printf("operational code will start.\n\n");
            plat::printf("1 - Start operational code.\n");
        } else if (kind == 4) {
            plat::printf("Boot Code Update will Start ..\n\n");
            plat::printf("1 - Start Boot Code Update.\n");
        } else {
            plat::printf("diagnostics will start.\n\n");
            plat::printf("1 - Start diagnostic code.\n");
        }
        plat::printf("2 - Start Boot Menu.\n");
        plat::printf("Select (1, 2):");
        plat::fflush();

        if (plat::select(2, 0) == 0) {
            plat::printf("\n");
            return 1;
        }
        char line[100];
        if (!plat::gets(line, sizeof line)) return 1;
        plat::printf("\n");
        line[1] = '\0';
        int choice = std::atoi(line);
        if (choice == 2) return 2;
        if (choice == 1 || line[0] == '\0') return 1;
    }
}

void wait_for_input(int startStatus) {
    plat::unlink(kBootCodeFile);
    dimActiveImageFileNameSync();
    plat::Stat st;
    bool bootUpdatePending = plat::stat(kBootUpdateMarker, &st) == 0;

    MenuVerdicts v;
    if (fellActiveImageGet() == 1) {
        if (startStatus == 0) {
            if (BootMenuSelection(3) != 2) fellDiagImageRun();
            v.diag = Verdict::Valid;
        } else {
            v.opr = Verdict::Invalid;
        }
    } else {
        v.opr = startStatus == 0 ? Verdict::Valid : Verdict::Invalid;
        if (startStatus == 0) {
            if (bootUpdatePending) {
                if (BootMenuSelection(4) == 1) {
                    if (bootromUpdateBootcode() == 0) plat::sysReboot();
                }
            } else if (BootMenuSelection(1) == 1) {
                start_operational_code(1);
            }
        }
    }
    bootMenuLoop(v);
}

int bspCpuInit() {
    osapiLogRoutineSet(zq_vlogf);
    bspBoardIdSet(int(kBoardIdValue));
    Flash_Init();
    if (tffsPPCInit() != 0) haltAfterFailedMount();
    enterFilesDirectory(false);
    setSystemClock();
    return 0;
}
