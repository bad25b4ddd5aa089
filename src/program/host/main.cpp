// stkboot on a Linux host: sets up the simulated board (a folder, the console
// line, the clock) and runs the boot program's entry, as the kernel's root task
// would. A reset runs start-up again on the same board.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "platform/host/board.h"
#include "platform/host/host_clock.h"
#include "platform/host/host_console.h"
#include "platform/platform.h"
#include "program/host/board_volume.h"
#include "program/host/host_run.h"
#include "sim/board_devices.h"
#include "sim/i2c_models.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// A signal that ends the program takes the console's link in the board
// folder with it, then ends the program as the signal would have.
void endOnSignal(int sig) {
    plat::removeConsoleLink();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"stkboot - boot program of the stackable switch, on a simulated board"};
    app.footer(
        "Exit status: 0 when the simulation ended (console input ended, or the boot program "
        "handed the board to the operational code; with --run-firmware the status of that "
        "program), 1 when it failed (a board folder or console that cannot be used, a power "
        "cut), 2 when the command line is wrong.");
    std::string boardDir = "board";
    std::string console = "stdio";
    bool runFirmware = false;
    bool demo = false;
    std::string clockTime;
    app.add_option("--board", boardDir,
                   "folder that holds the simulated board (flash disk, NOR flash)")
        ->capture_default_str();
    app.add_option("--console", console,
                   "console line: stdio, pty (also reachable as DIR/console), or a serial "
                   "device path")
        ->capture_default_str();
    app.add_flag("--run-firmware", runFirmware,
                 "run a handed-off image that is a program for this host, on the console");
    app.add_flag("--demo", demo,
                 "seed an empty board with the demo firmware (implies --run-firmware)");
    std::string volume;
    app.add_option("--volume", volume,
                   "a new board's flash disk: folder (DIR/DskVol, the default) or flash (a FAT "
                   "volume on the flash translation layer in DIR/norflash.bin); a board keeps "
                   "the kind of its first start")
        ->type_name("folder|flash")
        ->check(CLI::IsMember({"folder", "flash"}).description(""));
    app.add_option("--rtc", clockTime,
                   "set the board's clock chip before start-up (UTC, \"YYYY-MM-DD HH:MM:SS\")")
        ->check(
            [](const std::string& s) {
                return sim::isBoardClockText(s.c_str()) ? "" : "wants \"YYYY-MM-DD HH:MM:SS\"";
            },
            "");
    app.set_version_flag("--version", "stkboot " STK_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0.
        return app.exit(e) == 0 ? 0 : kUsageError;
    }

    // Every option is checked before the board folder is touched.
    char err[256] = {};
    std::string reason;
    if (!plat::checkHostConsole(console.c_str(), err, sizeof err) ||
        (demo && !stkhost::demoImageFound(&reason))) {
        std::fprintf(stderr, "stkboot: %s\n", err[0] ? err : reason.c_str());
        return kFailure;
    }
    // The board folder is checked and held before anything of the board runs.
    bool fresh = false;
    stkhost::VolumeKind kind;
    bool runs = stkhost::boardVolumeKind(boardDir, volume, &kind, &reason);
    if (runs && kind == stkhost::VolumeKind::Ppce500Flash) {
        reason = "board folder " + boardDir +
                 " is a board of QEMU's ppce500 machine (scripts/run-ppce500.sh runs it; "
                 "stkimage volume reaches its flash disk)";
        runs = false;
    }
    if (!runs) {
        std::fprintf(stderr, "stkboot: %s\n", reason.c_str());
        return kFailure;
    }
    if (!stkhost::prepareBoardFolder(boardDir, kind == stkhost::VolumeKind::Folder, &reason,
                                     &fresh)) {
        std::fprintf(stderr, "stkboot: cannot use board folder %s: %s\n",
                     boardDir.empty() ? "\"\"" : boardDir.c_str(), reason.c_str());
        return kFailure;
    }
    if (!stkhost::lockBoardFolder(boardDir, &reason)) {
        std::fprintf(stderr, "stkboot: %s\n", reason.c_str());
        return kFailure;
    }
    if (!stkhost::recordVolumeKind(boardDir, kind)) {
        std::fprintf(stderr,
                     "stkboot: cannot use board folder %s: cannot write its flashdisk file\n",
                     boardDir.c_str());
        return kFailure;
    }
    bool terminal = console == "stdio" && plat::hostStdinIsTerminal();
    std::fprintf(stderr, "stkboot: board folder %s%s%s\n", boardDir.c_str(),
                 fresh ? " (new board)" : "", terminal ? "; Ctrl-D ends the program" : "");

    for (int sig : {SIGHUP, SIGINT, SIGTERM}) std::signal(sig, endOnSignal);
    plat::ConsoleDevice* con =
        plat::openHostConsole(console.c_str(), err, sizeof err, boardDir + "/console");
    if (!con) {
        std::fprintf(stderr, "stkboot: %s\n", err);
        return kFailure;
    }
    plat::installBoard(std::make_unique<plat::Board>(
        std::unique_ptr<plat::ConsoleDevice>(con), std::make_unique<plat::HostClock>(), boardDir));
    attachBoardDevices(plat::board());
    stkhost::useVolumeKind(kind);
    if (!clockTime.empty() && !sim::setBoardClock(clockTime.c_str())) {
        std::fprintf(stderr, "stkboot: the board has no clock chip to set\n");
        return kFailure;
    }
    plat::board().runFirmware = runFirmware || demo;
    // Formatting goes through the flash driver.
    if (fresh || demo) Flash_Init();
    if (fresh && kind == stkhost::VolumeKind::Folder) stkhost::adoptPreparedDisk();
    if (demo && !stkhost::seedDemoBoard()) return kFailure;

    for (;;) {
        try {
            usrAppInit();
            return 0;
        } catch (const plat::BoardStop& stop) {
            switch (stop.kind) {
                case plat::BoardStop::Kind::Reset:
                    plat::hostNote("board reset; starting again");
                    stkhost::powerCycle();
                    continue;
                case plat::BoardStop::Kind::Halt:
                    plat::hostNote("board halted; kill the process to reset it");
                    for (;;) ::pause();
                case plat::BoardStop::Kind::Handoff:
                    return stkhost::runHandedOffImage(stop);
                case plat::BoardStop::Kind::EndOfInput:
                    plat::hostNote("console input ended");
                    return 0;
                case plat::BoardStop::Kind::PowerLoss:
                    plat::hostNote("power lost");
                    return kFailure;
            }
        }
    }
}
