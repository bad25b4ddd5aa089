// The Boot Menu: one numbered option per prompt, never returns.
#include <cstdlib>
#include <cstring>

#include "boot/boot.h"
#include "boot/menu_loop.h"
#include "bootflash/bootflash.h"
#include "eventlog/retrieve.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "launch/diag.h"
#include "launch/launch.h"
#include "load/load.h"
#include "platform/platform.h"

namespace {

constexpr size_t kReplyLine = 80;

struct BaudChoice {
    int rate;
    int divisor;  // the console driver's line divisor for the rate
};
constexpr BaudChoice kBaudTable[8] = {{1200, 5208}, {2400, 2604}, {4800, 1302}, {9600, 651},
                                      {19200, 325}, {38400, 162}, {57600, 108}, {115200, 54}};

// Applies the backspace edit: a backspace removes the last character taken,
// or is taken itself when nothing has been taken yet.
void editReply(const char* input, char* edited, size_t size) {
    size_t n = 0;
    for (const char* p = input; *p && n + 1 < size; ++p) {
        if (*p == '\b' && n > 0)
            --n;
        else
            edited[n++] = *p;
    }
    edited[n] = '\0';
}

void changeBaudRate() {
    for (;;) {
        plat::printf("\n\nSelect baud rate:\n");
        for (int i = 0; i < 8; ++i) plat::printf("%d - %d\n", i + 1, kBaudTable[i].rate);
        plat::printf("0 - no change\n");
        plat::printf("-> ");
        plat::fflush();
        int choice = get_menu_option();
        if (choice > 8) {
            plat::printf("\nERROR: Invalid Option:\n\n");
            continue;
        }
        if (choice == 0) {
            plat::printf("\nBaud rate is not changed\n");
            return;
        }
        consoleBaudRate = kBaudTable[choice - 1].rate;
        plat::printf("\nSetting baud rate to %d, you must change your terminal baud rate.\n",
                     consoleBaudRate);
        plat::fflush();
        plat::taskDelay(plat::sysClkRateGet());
        if (plat::ioctl(plat::kConsoleFd, plat::FIOBAUDRATE, consoleBaudRate) == -1)
            plat::printf("%s:%d: Attempt to set baudrate to %d failed\n", kBootConfigSource, 1452,
                         consoleBaudRate);
        return;
    }
}

void deleteConfigFiles() {
    char cwd[1024];
    plat::Dir* dir = plat::getcwd(cwd, sizeof cwd) ? plat::opendir(cwd) : nullptr;
    if (!dir) {
        plat::printf("Could not open directory?!\n\n");
        return;
    }
    while (plat::DirEntry* e = plat::readdir(dir)) {
        plat::Stat st;
        if (plat::stat(e->name, &st) != 0) continue;
        if ((st.mode & plat::kModeTypeMask) != plat::kModeRegular) continue;
        if (std::strstr(e->name, ".cfg") || std::strstr(e->name, "startup-config"))
            plat::remove(e->name);
    }
    plat::closedir(dir);
}

bool confirmed() {
    int c = get_confirmation();
    return c == 'y' || c == 'Y';
}

void establishOpr(Verdict& opr) {
    if (fellActiveImageGet() == 1 && opr == Verdict::Unknown)
        opr = check_oprcrc_in_flash() == 0 ? Verdict::Valid : Verdict::Invalid;
}

}  // namespace

void display_bootmenu(int showHidden) {
    plat::printf("Options available\n");
    plat::printf("1  - Start operational code\n");
    plat::printf("2  - Change baud rate\n");
    plat::printf("3  - Retrieve event log using XMODEM\n");
    plat::printf("4  - Load new operational code using XMODEM\n");
    plat::printf("5  - Load configuration using XMODEM\n");
    plat::printf("6  - Display operational code vital product data\n");
    plat::printf("7  - Update boot code\n");
    plat::printf("8  - Delete operational code\n");
    plat::printf("9  - Reset the system\n");
    plat::printf("10 - Restore configuration to factory defaults (delete config files)\n");
    plat::printf("11 - Activate Backup Image\n");
    plat::printf("12 - Run Diagnostics Image\n");
    plat::printf("13 - Load new Diagnostics Image using XMODEM\n");
    if (showHidden) {
        plat::printf("\n");
        plat::printf("21 - create test\n");
        plat::printf("22 - check opr crc\n");
        plat::printf("23 - dir list\n");
        plat::printf("24 - show DIM boot config\n");
        plat::printf("\n");
        plat::printf("30 - BOOT Secrets\n");
    }
}

int get_menu_option() {
    char input[kReplyLine];
    char edited[kReplyLine];
    std::memset(input, 0, sizeof input);
    std::memset(edited, 0, sizeof edited);
    while (!plat::gets(input, sizeof input)) {
    }
    if (input[0] == '?') return 99;
    editReply(input, edited, sizeof edited);
    return std::atoi(edited) & 0xff;
}

int get_confirmation() {
    char input[kReplyLine];
    char edited[kReplyLine];
    std::memset(input, 0, sizeof input);
    std::memset(edited, 0, sizeof edited);
    if (!plat::gets(input, sizeof input)) return 0;
    editReply(input, edited, sizeof edited);
    return static_cast<unsigned char>(edited[0]);
}

void bootMenuLoop(MenuVerdicts v) {
    bool showMenu = true;
    for (;;) {
        if (showMenu) {
            plat::fflush();
            display_bootmenu(0);
            showMenu = false;
        }
        plat::printf("[Boot Menu] ");
        plat::fflush();
        int option = get_menu_option();
        plat::fflush();
        switch (option) {
            case 1:
                establishOpr(v.opr);
                if (v.opr != Verdict::Valid) {
                    plat::printf(
                        "ERROR: Operational code CRC is not valid, you must load new code.\n\n");
                } else {
                    fellActiveImageSet(2);
                    start_operational_code(1);
                }
                break;
            case 2:
                changeBaudRate();
                break;
            case 3:
                plat::printf("Sending event log, start XMODEM receive.....\n");
                plat::taskDelay(10);
                send_event_log_via_xmodem();
                break;
            case 4:
                if (load_operational_code(kTargetDevice) != 0)
                    plat::printf("Error loading code...\n");
                // Mend: the verdict comes from the stored image after a failed load as well.
                // A refused or failed load leaves that image as it was (the store replaces it
                // whole or not at all), so calling it invalid would condemn a good image.
                v.opr = check_oprcrc_in_flash() == 0 ? Verdict::Valid : Verdict::Invalid;
                break;
            case 5:
                if (load_configuration() != 0) plat::printf("Error loading configuration...\n");
                break;
            case 6:
                establishOpr(v.opr);
                if (v.opr != Verdict::Valid)
                    plat::printf("\nERROR: Operational code CRC is not valid.\n");
                else
                    print_vpd_in_flash();
                break;
            case 7:
                plat::printf("Do you wish to update Boot Code? (y/n) ");
                plat::fflush();
                if (confirmed()) {
                    if (bootromUpdateBootcode() == 0) plat::sysReboot();
                } else {
                    plat::printf("\n\nUpdate aborted.\n");
                }
                break;
            case 8:
                plat::printf("\nAre you SURE you want to delete operational code : %s ? (y/n):",
                             activeImageFileName);
                if (confirmed()) {
                    v.opr = Verdict::Invalid;
                    // Only a delete that happened is announced.
                    if (plat::unlink(activeImageFileName) == 0)
                        plat::printf("Operational code deleted...\n");
                    else
                        plat::printf("ERROR: Operational code could not be deleted.\n");
                } else {
                    plat::printf("Code not deleted.\n");
                }
                break;
            case 9:
                plat::printf("\nAre you SURE you want to reset the system? (y/n):");
                if (confirmed()) plat::sysReboot();
                break;
            case 10:
                deleteConfigFiles();
                break;
            case 11:
                if (activate_backup_image() == 0)
                    v.opr = Verdict::Valid;
                else
                    plat::printf("Failed to activate Backup Image.\n");
                break;
            case 12:
                if (fellActiveImageGet() == 2 && v.diag == Verdict::Unknown)
                    v.diag = fellDiagImageCrcCheck() == 0 ? Verdict::Valid : Verdict::Invalid;
                if (v.diag != Verdict::Valid) {
                    plat::printf("ERROR: Diag code CRC is not valid, you must load new code.\n\n");
                } else {
                    fellActiveImageSet(1);
                    fellDiagImageRun();
                }
                break;
            case 13:
                if (fellDiagImageLoad(kTargetDevice) != 0)
                    plat::printf("Error loading diag code...\n");
                // Mend, as for option 4: the stored diagnostics image decides.
                v.diag = fellDiagImageCrcCheck() == 0 ? Verdict::Valid : Verdict::Invalid;
                break;
            case 21:
                plat::pwd();
                plat::printf("Attempting to create test file...\n");
                {
                    int fd = plat::creat("testfile");
                    if (fd == -1)
                        plat::printf("creat returned ERROR.\n");
                    else
                        plat::close(fd);
                }
                [[fallthrough]];
            case 22:
                plat::pwd();
                check_oprcrc_in_flash();
                break;
            case 23:
                plat::pwd();
                plat::cd("/DskVol/");
                plat::pwd();
                plat::dirList("/DskVol/", true, true);
                break;
            case 24:
                dimShowBootCfg();
                break;
            case 30:
                BootCodeSecrets();
                break;
            case 99:
                showMenu = true;
                break;
            default:
                break;
        }
    }
}
