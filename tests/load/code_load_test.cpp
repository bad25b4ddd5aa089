// Boot Menu option 4 end to end: a scripted XMODEM sender, the receive
// command, the checks, the display and the store over the active image.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image/dim.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

constexpr uint32_t kThisBoard = 0x00508541;

// Incompressible bytes, so that the image spans many blocks.
std::string noise(size_t n, uint32_t seed) { return stktest::randomBytes(n, seed); }

constexpr const char* kReady = "Ready to receive the file with XMODEM/CRC....\n";
constexpr const char* kComplete = "\n\nXMODEM transfer complete, checking CRC....\n";
constexpr const char* kVerified = "Verified operational code CRC.\n";
constexpr const char* kRecvError = "Error while receiving file with XMODEM.\n";
constexpr const char* kUpdateFailed = "ERROR: Operational code update failed.\n";

uint32_t be32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
           uint32_t(uint8_t(s[at + 2])) << 8 | uint32_t(uint8_t(s[at + 3]));
}
uint32_t be16(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 8 | uint32_t(uint8_t(s[at + 1]));
}

std::string fmt(const char* f, unsigned a, unsigned b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

// The expected upload display, read straight from the header bytes at
// `base` (independently of the codec); component offsets gain the base.
std::string expectedDisplay(const std::string& img, size_t base, const std::string& vpdLine,
                            const std::string& timestamp, const std::string& file) {
    auto at32 = [&](size_t off) { return be32(img, base + off); };
    std::string s = "\n\nThe following code has been uploaded:\n\n";
    s += fmt("CRC............................................0x%x (%d)\n", be16(img, base),
             be16(img, base));
    s += fmt("Target Device..................................0x%08x\n", at32(4), 0);
    s += fmt("Size...........................................0x%x (%d)\n", at32(8), at32(8));
    s += fmt("Number of Components...........................%d\n\n", at32(12), 0);
    uint32_t opOff = at32(32) + uint32_t(base);
    s += fmt("Operational Code Size..........................0x%x (%d)\n", at32(28), at32(28));
    s += fmt("Operational Code Offset........................0x%x (%d)\n", opOff, opOff);
    s += fmt("Operational Code FLASH flag....................%d\n", at32(44), 0);
    s += fmt("Operational Code CRC...........................0x%X\n\n", be16(img, base + 16), 0);
    uint32_t bootOff = at32(80) + (at32(12) >= 2 ? uint32_t(base) : 0);
    s += fmt("Boot Code Version..............................%d\n", at32(72), 0);
    s += fmt("Boot Code Size.................................0x%x (%d)\n", at32(76), at32(76));
    s += fmt("Boot Code Offset...............................0x%x (%d)\n", bootOff, bootOff);
    s += fmt("Boot Code FLASH flag...........................%d\n", at32(92), 0);
    s += fmt("Boot Code CRC..................................0x%X\n\n", be16(img, base + 64), 0);
    s += vpdLine;
    s += "      Timestamp - " + timestamp + "\n      File - " + file + "\n";
    return s;
}

stktest::ImageSpec oldSpec() {
    stktest::ImageSpec s;
    s.payload = "old firmware";
    s.file = "old.stk";
    return s;
}
stktest::ImageSpec newSpec() {
    stktest::ImageSpec s;
    s.payload = noise(3000, 7) + "new firmware";
    s.rel = 'B';
    s.build = 0;
    s.file = "new.stk";
    s.bootCode = std::string(200, 'b');
    return s;
}

// A board with an active "image1" and a backup "image2", as after start-up.
void installImages(stktest::TestBoard& tb) {
    tb.writeFile("image1", stktest::makeImage(oldSpec()));
    stktest::ImageSpec backup;
    backup.payload = "backup firmware";
    tb.writeFile("image2", stktest::makeImage(backup));
    dimInitialize();
}

struct LoadRun {
    int result = -99;
    std::string output;
    bool stopped = false;
};

LoadRun runLoad(stktest::TestBoard& tb) {
    LoadRun r;
    tb.con().clearOutput();
    auto stop = tb.run([&] { r.result = load_operational_code(kThisBoard); });
    r.stopped = stop.has_value();
    r.output = tb.con().output();
    return r;
}

std::string activeName() {
    char name[40] = {};
    if (dimActiveImageFileNameGet(name) != 0) return "";
    return name;
}
std::string backupName() {
    char name[40] = {};
    if (dimBackupImageFileNameGet(name) != 0) return "";
    return name;
}

class LoadCodeTest : public stktest::BoardTest {
  protected:
    void SetUp() override {
        installImages(tb);
        oldImage = tb.readFile("image1");
        backupImage = tb.readFile("image2");
        bootDim = tb.readFile("boot.dim");
    }
    // Every refusal leaves both images and the list as they were.
    void expectUnchanged() {
        EXPECT_EQ(tb.readFile("image1"), oldImage);
        EXPECT_EQ(tb.readFile("image2"), backupImage);
        EXPECT_EQ(tb.readFile("boot.dim"), bootDim);
        EXPECT_EQ(check_oprcrc_in_flash(), 0);
    }
    std::string oldImage, backupImage, bootDim;
};

TEST_F(LoadCodeTest, StoresNewImageOverActiveAndShowsItsHeader) {
    std::string image = stktest::makeImage(newSpec());
    loadtest::XmodemSender sender(con(), image);
    LoadRun r = runLoad(tb);
    ASSERT_FALSE(r.stopped);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(sender.finished());

    std::string display = expectedDisplay(image, 0, "VPD - rel B ver 2 maint_lvl 3 \n",
                                          "Mon Dec  6 12:00:00 2026", "new.stk");
    size_t at = r.output.find(kComplete);
    ASSERT_NE(at, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(0, std::string(kReady).size()), kReady);
    EXPECT_EQ(r.output.substr(at), std::string(kComplete) + kVerified + display +
                                       "Storing Operational code in Flash. This may take "
                                       "several minutes...\n\n");
    // Stored as received (with the sender's block padding); list unchanged.
    EXPECT_EQ(tb.readFile("image1"), sender.padded());
    EXPECT_EQ(tb.readFile("image2"), backupImage);
    EXPECT_EQ(tb.readFile("boot.dim"), bootDim);
    EXPECT_FALSE(tb.exists("xcode.bin"));
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
    dimInitialize();
    EXPECT_EQ(activeName(), "image1");
    EXPECT_EQ(backupName(), "image2");
    EXPECT_EQ(tb.readFile("image2"), backupImage);  // the backup still validates
}

TEST_F(LoadCodeTest, StoresOverImage2WhenItIsActive) {
    ASSERT_EQ(dimImageActivate("image2"), 0);
    dimInitialize();
    ASSERT_EQ(activeName(), "image2");
    bootDim = tb.readFile("boot.dim");
    loadtest::XmodemSender sender(con(), stktest::makeImage(newSpec()), 128);
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(tb.readFile("image2"), sender.padded());
    EXPECT_EQ(tb.readFile("image1"), oldImage);
    EXPECT_EQ(tb.readFile("boot.dim"), bootDim);
}

TEST_F(LoadCodeTest, AcceptsStkFileWithRecordForThisBoardAndShowsFileOffsets) {
    const uint32_t targets[] = {0x00508542, kThisBoard};
    stktest::ImageSpec spec = newSpec();
    spec.rel = 1;
    spec.build = 4;
    std::string file = stktest::makeStkFile(spec, targets, 2);
    size_t base = be32(file, 88 + 28);  // the second record's image offset
    loadtest::XmodemSender sender(con(), file);
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 0);
    std::string display = expectedDisplay(file, base, "VPD - rel 1 ver 2 maint_lvl 3 build_num 4\n",
                                          "Mon Dec  6 12:00:00 2026", "new.stk");
    EXPECT_NE(r.output.find(display), std::string::npos) << r.output;
    EXPECT_EQ(tb.readFile("image1"), sender.padded());
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
}

TEST_F(LoadCodeTest, RefusesStkFileWithoutRecordForThisBoardAndKeepsTheFile) {
    const uint32_t targets[] = {0x00508542};
    loadtest::XmodemSender sender(con(), stktest::makeStkFile(newSpec(), targets, 1));
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    // The header read fails silently after the CRC check.
    EXPECT_EQ(r.output.substr(r.output.size() - std::string(kVerified).size()), kVerified);
    EXPECT_TRUE(tb.exists("xcode.bin"));
    expectUnchanged();

    // The next load clears the left-over file first.
    loadtest::XmodemSender again(con(), stktest::makeImage(newSpec()));
    EXPECT_EQ(runLoad(tb).result, 0);
    EXPECT_FALSE(tb.exists("xcode.bin"));
}

TEST_F(LoadCodeTest, TransferCancelledBySender) {
    loadtest::XmodemSender sender(con(), stktest::makeImage(newSpec()));
    sender.cancelAtStart();
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.size() - std::string(kRecvError).size()), kRecvError);
    EXPECT_EQ(r.output.find(kComplete), std::string::npos);
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, SilentSenderTimesOut) {
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_NE(r.output.find(kRecvError), std::string::npos);
    expectUnchanged();
}

TEST_F(LoadCodeTest, RefusesWrongFileCrc) {
    std::string image = stktest::makeImage(newSpec());
    image[2000] ^= 0x01;
    loadtest::XmodemSender sender(con(), image);
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.find(kComplete)),
              std::string(kComplete) + "ERROR: Operational code CRC is not valid.\n");
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, RefusesSizeBelowHeaderLength) {
    std::string image = stktest::makeImage(newSpec());
    // Size 1219 (at offset 8) with a file CRC that covers bytes 2..1218.
    std::string bytes = image;
    bytes[8] = 0;
    bytes[9] = 0;
    bytes[10] = char(1219 >> 8);
    bytes[11] = char(1219 & 0xFF);
    std::vector<uint8_t> raw(bytes.begin(), bytes.end());
    stk::fileCrcStore(raw.data(), 1219);
    loadtest::XmodemSender sender(con(), std::string(raw.begin(), raw.end()));
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.find(kVerified)),
              std::string(kVerified) + "ERROR: Code image size of 1219 bytes is invalid.\n");
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, RefusesImageForAnotherDevice) {
    stktest::ImageSpec spec = newSpec();
    spec.targetDevice = 0x00508548;
    loadtest::XmodemSender sender(con(), stktest::makeImage(spec));
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.find(kVerified)),
              std::string(kVerified) +
                  "ERROR: Operational code target 508548 does not match this device.\n");
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, TenByteFileFailsTheCrcCheck) {
    // Plain XMODEM pads the 10 bytes to a 128-byte block.
    loadtest::XmodemSender sender(con(), "0123456789");
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_NE(r.output.find("ERROR: Operational code CRC is not valid.\n"), std::string::npos);
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, TenByteFileWithExactLengthIsUnreadable) {
    // A YMODEM header cuts the file to its 10 bytes: too short to find its CRC span.
    loadtest::XmodemSender sender(con(), "0123456789", 128);
    sender.ymodemHeader("xcode.bin", 10);
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 2) << r.output;
    EXPECT_EQ(r.output.substr(r.output.find(kComplete)),
              std::string(kComplete) + "ERROR: Can't read file xcode.bin\n");
    EXPECT_FALSE(tb.exists("xcode.bin"));
    expectUnchanged();
}

TEST_F(LoadCodeTest, EotBeforeAnyBlockLeavesNoFileToOpen) {
    // The sender answers the receiver's first 'C' with EOT.
    con().answer("before transfer starts.\n\rC", "\x04");
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.find(kComplete)),
              std::string(kComplete) + "ERROR: Can't open file xcode.bin\n");
    expectUnchanged();
}

TEST_F(LoadCodeTest, ActiveNameThatIsNoImageFileIsNeverReplaced) {
    // A list whose active slot names a file other than image1/image2.
    tb.writeFile("boot.dim", "---IMAGE---\nactive\nactive\nimage9\n0\ndefault image\n");
    tb.writeFile("image9", oldImage);
    dimInitialize();
    ASSERT_EQ(activeName(), "image9");
    loadtest::XmodemSender sender(con(), stktest::makeImage(newSpec()));
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output.substr(r.output.size() - std::string(kUpdateFailed).size()), kUpdateFailed);
    EXPECT_EQ(tb.readFile("image9"), oldImage);
    EXPECT_EQ(tb.readFile("image1"), oldImage);
    EXPECT_FALSE(tb.exists("xcode.bin"));
}

TEST(LoadCodeRepair, WithoutActiveImageTheFileBecomesImage1) {
    stktest::TestBoard tb;
    dimInitialize();  // no images, no list
    loadtest::XmodemSender sender(tb.con(), stktest::makeImage(newSpec()));
    LoadRun r = runLoad(tb);
    EXPECT_EQ(r.result, 0);
    EXPECT_NE(r.output.find("Storing Operational code in Flash. This may take several "
                            "minutes...\n\nError obtaining active image name, reinitializing "
                            "dim...\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(tb.readFile("image1"), sender.padded());
    EXPECT_FALSE(tb.exists("xcode.bin"));
    EXPECT_EQ(activeName(), "image1");
    EXPECT_STREQ(activeImageFileName, "image1");  // what the launcher and option 8 use
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
}

}  // namespace
