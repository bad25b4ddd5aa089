// The board API: constants, name resolution through the image list, image
// operations by name, the SDM template file and the information dump.
#include "image/bspapi.h"

#include <gtest/gtest.h>

#include <string>

#include "image/dim.h"
#include "image_test_util.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using stktest::makeImage;

class BspApi : public stktest::BoardTest {
  protected:
    std::string out() { return con().takeOutput(); }
    std::string resolve(const char* name, int expected) {
        char buffer[40] = "?";
        EXPECT_EQ(bspapiImageFileNameResolve(name, buffer), expected) << name;
        return buffer;
    }
};

TEST_F(BspApi, ConstantsAndBoardState) {
    EXPECT_EQ(bspapiIplModelGet(), 0x00508541u);
    EXPECT_EQ(bspapiDefaultBaudRateGet(), 4);
    EXPECT_STREQ(bspapiServicePortNameGet(), "mottsec");
    EXPECT_EQ(bspapiServicePortUnitGet(), 0);
    EXPECT_EQ(bspapiWatchdogEnable() | bspapiWatchdogDisable() | bspapiWatchdogService(), 0);
    EXPECT_EQ(bspapiWatchdogInterval(), 15000u);
    uint32_t word = 0;
    EXPECT_EQ(bspapiConsoleStatusGet(&word), 0);
    EXPECT_EQ(word, 1u);
    word = 0;
    EXPECT_EQ(bspapiSysLedStatusGet(&word), 4);
    EXPECT_EQ(word, 1u);
    EXPECT_EQ(bspapiLocatorLedBlinkStart(), 4);
    EXPECT_EQ(bspapiLocatorLedIndicateNormalStart(), 4);
    bspapiStackLedSet();
    EXPECT_EQ(bspapiConsoleFdOutGet(), 1);

    EXPECT_EQ(bspapiConsoleFdGet(), 0);
    EXPECT_EQ(bspapiConsoleFdSet(9), 0);
    EXPECT_EQ(bspapiConsoleFdGet(), 9);
    plat::resetProcessState();
    EXPECT_EQ(bspapiConsoleFdGet(), 0);

    const uint32_t expected[] = {8, 0, 2, 1};
    for (int selector = 0; selector < 4; ++selector) {
        EXPECT_EQ(bspapiSerialPortParmGet(selector, &word), 0);
        EXPECT_EQ(word, expected[selector]);
    }
    word = 77;
    EXPECT_EQ(bspapiSerialPortParmGet(4, &word), 1);
    EXPECT_EQ(bspapiSerialPortParmGet(-1, &word), 1);
    EXPECT_EQ(word, 77u);

    const uint8_t unicast[6] = {0x00, 0x10, 0x18, 1, 2, 3};
    const uint8_t group[6] = {0x01, 0, 0x5e, 0, 0, 1};
    const uint8_t zero[6] = {};
    EXPECT_EQ(bspapiSwitchMacAddrValid(unicast), 1);
    EXPECT_EQ(bspapiSwitchMacAddrValid(group), 0);
    EXPECT_EQ(bspapiSwitchMacAddrValid(zero), 0);

    // Without a clock driver the clock cannot be read.
    BspTime time;
    EXPECT_EQ(bspapiRTCRead(&time), 1);
}

TEST_F(BspApi, ImageNames) {
    EXPECT_EQ(bspapiImageNameValid("active"), 1);
    EXPECT_EQ(bspapiImageNameValid("backup"), 1);
    EXPECT_EQ(bspapiImageNameValid("image1"), 0);
    int index = -1;
    EXPECT_EQ(bspapiImageFileNameValid("image2", &index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(bspapiImageFileNameValid("image3", &index), 0);
    EXPECT_EQ(index, 1);
    char buffer[40];
    EXPECT_EQ(bspapiActiveImageNameGet(buffer), 0);
    EXPECT_STREQ(buffer, "active");
    EXPECT_EQ(bspapiBackupImageNameGet(buffer), 0);
    EXPECT_STREQ(buffer, "backup");
    EXPECT_EQ(bspapiImageFileNameGet(0, buffer), 0);
    EXPECT_STREQ(buffer, "image1");
    EXPECT_EQ(bspapiImageFileNameGet(1, buffer), 0);
    EXPECT_STREQ(buffer, "image2");
    EXPECT_EQ(bspapiImageFileNameGet(2, buffer), 1);
}

TEST_F(BspApi, ResolutionFollowsTheActiveImage) {
    // Empty list: both roles name "image1".
    EXPECT_EQ(resolve("active", 1), "image1");
    EXPECT_EQ(resolve("backup", 1), "image1");
    EXPECT_EQ(resolve("image2", 1), "image2");
    EXPECT_EQ(resolve("xcode.bin", 0), "xcode.bin");
    std::string longName(60, 'n');
    EXPECT_EQ(resolve(longName.c_str(), 0), std::string(39, 'n'));

    // Only "image2", active: "backup" is the other file though no slot has it.
    tb.writeFile("image2", makeImage());
    dimInitialize();
    EXPECT_EQ(resolve("active", 1), "image2");
    EXPECT_EQ(resolve("backup", 1), "image1");
    EXPECT_EQ(bspapiImageExists("backup"), 0);
    EXPECT_EQ(bspapiImageExists("active"), 1);
    EXPECT_EQ(bspapiImageExists("image2"), 1);
    EXPECT_EQ(bspapiImageExists("other"), 0);
    std::string name39(39, 'a');
    EXPECT_EQ(bspapiImageExists(name39.c_str()), 0);
    char file[40];
    EXPECT_EQ(bspapiActiveImageFileNameGet(file), 0);
    EXPECT_STREQ(file, "image2");
    EXPECT_EQ(bspapiBackupImageFileNameGet(file), 1);
    EXPECT_EQ(bspapiIsBackupImageActivated(), 0);
}

TEST_F(BspApi, ImageOperationsByName) {
    tb.writeFile("image1", makeImage());
    dimInitialize();
    tb.writeFile("xcode.bin", makeImage());
    EXPECT_EQ(bspapiImageAdd("xcode.bin", "backup"), 0);
    EXPECT_TRUE(tb.exists("image2"));
    EXPECT_EQ(bspapiImageAdd("xcode.bin", "elsewhere"), 1);
    EXPECT_EQ(bspapiImageDescrSet("backup", "spare"), 0);
    char descr[256];
    EXPECT_EQ(bspapiImageDescrGet("image2", descr), 0);
    EXPECT_STREQ(descr, "spare");
    EXPECT_EQ(bspapiImageDescrGet("nonsense", descr), 1);
    EXPECT_EQ(bspapiImageDelete("active"), 8);
    EXPECT_EQ(bspapiImageDelete("nonsense"), 1);

    EXPECT_EQ(bspapiImageActivate("backup", 0), 0);
    EXPECT_EQ(bspapiIsBackupImageActivated(), 1);
    EXPECT_EQ(bspapiImageActivate("image2", 0), 6);
    // With the boot code flag the result is the boot code update's (none here).
    EXPECT_EQ(bspapiImageActivate("image1", 1), 1);
    EXPECT_EQ(bspapiIsBackupImageActivated(), 0);
    EXPECT_EQ(bspapiImageDelete("backup"), 0);
    EXPECT_FALSE(tb.exists("image2"));
    tb.writeFile("image2", makeImage());  // a good image, but not listed: no boot code update
    EXPECT_EQ(bspapiImageActivate("image2", 1), 5);

    // An image without a header for this board is not activated.
    tb.writeFile("image2", "short");
    EXPECT_EQ(bspapiImageActivate("image2", 0), 1);
    EXPECT_EQ(out(), "Incomplete file image2\n");
    ::remove(tb.hostPath("image2").c_str());
    EXPECT_EQ(bspapiImageActivate("backup", 0), 5);
    EXPECT_EQ(out(), "Error opening the image file image2 \n");
    EXPECT_EQ(bspapiImageActivate("foo", 0), 1);
}

TEST_F(BspApi, SdmTemplateFile) {
    EXPECT_EQ(bspapiNextSdmTemplateSave(7), 0);
    std::string file = tb.readFile("sdm_template.cfg");
    ASSERT_EQ(file.size(), 12u);
    EXPECT_EQ(file.substr(0, 10), std::string("\0\0\0\1\0\0\0\7\0\0", 10));
    EXPECT_EQ(stk::getBe16(imagetest::bytes(file) + 10),
              stk::stkCrc16Bytewise(imagetest::bytes(file), 10));
    uint32_t id = 0;
    EXPECT_EQ(bspapiNextSdmTemplateGet(&id), 0);
    EXPECT_EQ(id, 7u);

    std::string bad = file;
    bad[7] = 8;
    tb.writeFile("sdm_template.cfg", bad);
    id = 99;
    EXPECT_EQ(bspapiNextSdmTemplateGet(&id), 2);
    EXPECT_EQ(id, 99u);
    std::string version2 = file;
    version2[3] = 2;
    stk::putBe16(imagetest::bytes(version2) + 10,
                 stk::stkCrc16Bytewise(imagetest::bytes(version2), 10));
    tb.writeFile("sdm_template.cfg", version2);
    EXPECT_EQ(bspapiNextSdmTemplateGet(&id), 2);
    tb.writeFile("sdm_template.cfg", file.substr(0, 11));
    EXPECT_EQ(bspapiNextSdmTemplateGet(&id), 5);

    EXPECT_EQ(bspapiNextSdmTemplateClear(), 0);
    EXPECT_EQ(bspapiNextSdmTemplateGet(&id), 5);
    EXPECT_EQ(bspapiNextSdmTemplateClear(), 2);

    // A full disk makes the save fail.
    tb.disk().setFreeBytes(5);
    EXPECT_EQ(bspapiNextSdmTemplateSave(3), 2);
    tb.disk().clearFaults();
    EXPECT_EQ(bspCpuFsRead("missing", &id, 4), 2);
}

TEST_F(BspApi, DebugDump) {
    EXPECT_EQ(bspapiDebugRegisteredSysInfoDump(), 0);
    const std::string rule =
        "/*=====================================================================*/\n";
    EXPECT_EQ(out(),
              "\r\n" + rule +
                  "/*                  BSP  INFORMATION                                   */\n" +
                  rule +
                  "\r\n\nActiveImage could not be found\nError opening the image "
                  "file image1 \n\nUnable to open/validate image file image1!\n\n"
                  "\r\n\n");
}

}  // namespace
