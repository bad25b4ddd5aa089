// The boot program on QEMU's ppce500 board, against QEMU's own devices: an
// operator on picocom reads and sets the I2C clock, dumps and regenerates the
// VPD EEPROM, pokes memory, the registers and the flash, and updates the boot
// code in the flash window. Needs the target build (scripts/test-ppce500.sh).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kElf = std::string(STK_PPCE500_BUILD) + "/stkboot.elf";
const char kUtilities[] = "Select option (0-17): ";

class TargetBoard : public ::testing::Test {
  protected:
    ~TargetBoard() override {
        stktest::removeTree(board_);
        stktest::removeTree(peer_);
    }
    // QEMU on the board folder with picocom attached; lands in the utilities
    // menu (a board without an image offers no auto-boot choice).
    void start(stktest::QemuRunner& qemu, stktest::BootProcess& term,
               std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--elf", kElf, "--board", board_});
        ASSERT_TRUE(qemu.start(options)) << qemu.errText();
        ASSERT_TRUE(term.startTerminal(
            {"picocom", "-b", "9600", "--send-cmd", "sx -k", qemu.ptyPath()}, peer_));
        ASSERT_TRUE(term.expect("[Boot Menu] ")) << term.unmatched() << qemu.errText();
        ASSERT_TRUE(utility(term, "30"));
    }
    // Sends a line and waits for the answer's end (by default the utilities
    // menu's prompt); with `text`, that must come first.
    static ::testing::AssertionResult utility(stktest::BootProcess& term, const std::string& line,
                                              const char* until = kUtilities,
                                              const std::string& text = "") {
        term.send(line + "\r");
        if ((!text.empty() && !term.expect(text, 60000)) || !term.expect(until, 60000))
            return ::testing::AssertionFailure()
                   << "after \"" << line << "\": " << term.unmatched();
        return ::testing::AssertionSuccess();
    }
    // What option 14 shows, as seconds since 1970 (UTC), or -1.
    static long shownClock(const std::string& screen) {
        std::tm tm{};
        size_t at = screen.rfind("Year ");
        if (at == std::string::npos ||
            std::sscanf(screen.c_str() + at, "Year %d, Month %d, Day %d, Hour %d Min %d, Sec %d",
                        &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                        &tm.tm_sec) != 6)
            return -1;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        return long(timegm(&tm));
    }
    long clockNow(stktest::BootProcess& term) {
        EXPECT_TRUE(utility(term, "14", kUtilities, "Sec "));
        return shownClock(term.output());
    }
    static long secondsSince(Clock::time_point t) {
        return long(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t).count());
    }
    std::string board_ = stktest::makeTempDir("stktarget-"),
                peer_ = stktest::makeTempDir("stkpicocom-");
};

// QEMU's clock is reset with the machine: a time set with option 15 lasts
// until the next reset, after which the clock runs from --rtc again.
TEST_F(TargetBoard, ClockFollowsRtcAndTheSetTimeLastsUntilAReset) {
    const long rtcBase = 1941354300;  // 2031-07-09 09:05:00 UTC
    auto started = Clock::now();
    stktest::QemuRunner qemu;
    stktest::BootProcess term;
    ASSERT_NO_FATAL_FAILURE(start(qemu, term, {"--rtc", "2031-07-09 09:05:00"}));
    EXPECT_NEAR(clockNow(term), rtcBase + secondsSince(started), 2);
    ASSERT_TRUE(utility(term, "15", "(24-hour format)"));
    ASSERT_TRUE(utility(term, "12-31-2040 23:59:58"));
    auto set = Clock::now();
    ::sleep(2);
    EXPECT_NEAR(clockNow(term), 2240611198 + secondsSince(set), 1);  // 2040-12-31 23:59:58
    ASSERT_TRUE(utility(term, "0", "[Boot Menu] "));
    ASSERT_TRUE(utility(term, "9", "(y/n):"));
    ASSERT_TRUE(utility(term, "y", "[Boot Menu] "));
    ASSERT_TRUE(utility(term, "30"));
    EXPECT_NEAR(clockNow(term), rtcBase + secondsSince(started), 2);
}

TEST_F(TargetBoard, VpdIsRegeneratedAndKeptInTheBoardFolder) {
    {
        stktest::QemuRunner qemu;
        stktest::BootProcess term;
        ASSERT_NO_FATAL_FAILURE(start(qemu, term));
        EXPECT_TRUE(utility(term, "16", kUtilities, "Serial Number:SXB1040231\r\nMAC: 02-53-4b"));
        ASSERT_TRUE(utility(term, "8", "(y/n): "));
        ASSERT_TRUE(utility(term, "y", "-> "));
        ASSERT_TRUE(utility(term, "00062932814g", "-> "));  // refused, asked again
        ASSERT_TRUE(utility(term, "000629328140", "(y/n): "));
        ASSERT_TRUE(utility(term, "y", "-> "));
        ASSERT_TRUE(utility(term, "QEMU42"));
    }
    std::string eeprom = stktest::readHostFile(board_ + "/vpd_eeprom_512.bin");
    EXPECT_EQ(eeprom.substr(0x35, 6), "QEMU42");
    stktest::QemuRunner qemu;
    stktest::BootProcess term;
    ASSERT_NO_FATAL_FAILURE(start(qemu, term));
    EXPECT_TRUE(utility(term, "16", kUtilities, "Serial Number:QEMU42\r\nMAC: 00-06-29-32-81-40"));
}

// Bus cycles of each width reach SDRAM, the I2C controller's registers and the
// flash, whose CFI query answers as QEMU's Intel part does: each byte of a
// 16-bit query word reads as its low byte.
TEST_F(TargetBoard, MemoryCommandReachesSdramRegistersAndTheFlash) {
    stktest::QemuRunner qemu;
    stktest::BootProcess term;
    ASSERT_NO_FATAL_FAILURE(start(qemu, term));
    ASSERT_TRUE(utility(term, "1", "> "));
    // The flash file QEMU keeps the chip in is the reference for its bytes.
    std::string flash = stktest::readHostFile(board_ + "/norflash.bin").substr(0, 16);
    std::string first = "fe000000 ";
    for (size_t i = 0; i < 16; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", uint8_t(flash[i]));
        first += hex;
    }
    ASSERT_TRUE(utility(term, "wl 00100000 12345678", "> "));
    EXPECT_TRUE(utility(term, "r 00100000 4", "> ", "00100000 12 34 56 78"));
    EXPECT_TRUE(utility(term, "r f0003004 1", "> ", "f0003004 3f"));  // the divider i2cInit wrote
    EXPECT_TRUE(utility(term, "r fe000000 20", "> ", first));
    ASSERT_TRUE(utility(term, "ww fe0000aa 98", "> "));
    EXPECT_TRUE(utility(term, "r fe000020 6", "> ", "fe000020 51 51 52 52 59 59"));
    ASSERT_TRUE(utility(term, "ww fe000000 ff", "> "));
    EXPECT_TRUE(utility(term, "r fe000000 20", "> ", first));
    ASSERT_TRUE(utility(term, "q"));
    EXPECT_TRUE(utility(term, "6", kUtilities, "SDRAM tests completed successfully."));
    EXPECT_TRUE(utility(term, "4", kUtilities, "Processor:                PVR 0x8021"));
    EXPECT_TRUE(utility(term, "2", kUtilities, "0x1957 0x0030 0x0b2000"));
}

TEST_F(TargetBoard, BootCodeUpdateProgramsTheFlashWindow) {
    // Small, since the console line is slow; the chunking is the host tests' to check.
    std::string bootCode = stktest::randomBytes(0x2170, 7);
    stktest::ImageSpec spec;
    spec.payload = "operational code";
    spec.bootCode = bootCode;
    stktest::writeHostFile(peer_ + "/xcode.bin", stktest::makeImage(spec));
    stktest::QemuRunner qemu;
    stktest::BootProcess term;
    ASSERT_NO_FATAL_FAILURE(start(qemu, term));
    ASSERT_TRUE(utility(term, "0", "[Boot Menu] "));
    ASSERT_TRUE(utility(term, "4", "transfer starts."));
    ::usleep(600000);       // reading the announcement
    term.send("\x01\x13");  // picocom's send command (C-a C-s)
    ASSERT_TRUE(term.expect("*** file: ")) << term.unmatched();
    ASSERT_TRUE(utility(term, "xcode.bin", "[Boot Menu] ", "*** exit status: 0 ***"));
    ASSERT_TRUE(utility(term, "7", "(y/n)"));
    ASSERT_TRUE(utility(term, "y", "Wrote 0x2170 bytes."));
    EXPECT_TRUE(term.expect("Validating Flash.....Passed")) << term.unmatched();
    // The reset that follows starts the board again with its volume.
    EXPECT_TRUE(term.expect("Boot Menu Version")) << term.unmatched();
    EXPECT_TRUE(term.expect("Select (1, 2):")) << term.unmatched();
    std::string out;
    ASSERT_EQ(
        stktest::runTool(
            {stktest::stkimagePath(), "bootflash", board_, "-o", peer_ + "/window.bin"}, &out),
        0)
        << out;
    std::string window = stktest::readHostFile(peer_ + "/window.bin");
    ASSERT_EQ(window.size(), 1u << 20);
    EXPECT_TRUE(window.compare(0, bootCode.size(), bootCode) == 0);  // not printed: binary
    EXPECT_EQ(window.find_first_not_of('\xff', bootCode.size()), std::string::npos);
}

}  // namespace
