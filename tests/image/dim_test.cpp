// The image list: reading boot.dim, its rewrite, the life cycle of images and
// the list's survival of a power loss during a rewrite.
#include "image/dim.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using stktest::makeImage;

std::string block(const std::string& curr, const std::string& next, const std::string& name,
                  const std::string& tag = "0", const std::string& descr = "") {
    return "---IMAGE---\n" + curr + "\n" + next + "\n" + name + "\n" + tag + "\n" + descr + "\n";
}

class Dim : public stktest::BoardTest {
  protected:
    std::string out() { return con().takeOutput(); }
    std::string dimFile() { return tb.exists("boot.dim") ? tb.readFile("boot.dim") : "<none>"; }
    std::string active() {
        char name[40] = "?";
        return dimActiveImageFileNameGet(name) == 0 ? name : "<none>";
    }
    std::string backup() {
        char name[40] = "?";
        return dimBackupImageFileNameGet(name) == 0 ? name : "<none>";
    }
    // A restart: process state cleared, then the list loaded again.
    void restart() {
        plat::resetProcessState();
        dimInitialize();
    }
};

TEST_F(Dim, ExampleFileRoundTrips) {
    std::string example = block("active", "active", "image1", "0", "default image");
    tb.writeFile("image1", makeImage());
    tb.writeFile("boot.dim", example);
    EXPECT_EQ(dimInitialize(), 0);
    EXPECT_EQ(dimImageCount(), 1);
    EXPECT_EQ(active(), "image1");
    EXPECT_EQ(backup(), "<none>");
    EXPECT_EQ(dimFile(), example);
    char descr[256];
    ASSERT_EQ(dimImageDescrGet("image1", descr), 0);
    EXPECT_STREQ(descr, "default image");
    EXPECT_EQ(out(), "");
}

TEST_F(Dim, MissingListIsRebuiltFromTheImageFiles) {
    tb.writeFile("image1", makeImage());
    tb.writeFile("image2", makeImage());
    dimInitialize();
    EXPECT_EQ(dimFile(), block("active", "active", "image1", "0", "default image") +
                             block("backup", "backup", "image2"));
    plat::resetProcessState();
    tb.writeFile("boot.dim", "");  // empty counts as missing
    tb.writeFile("image1", "");
    ::remove(tb.hostPath("image1").c_str());
    dimInitialize();
    EXPECT_EQ(active(), "image2");
    EXPECT_EQ(dimFile(), block("active", "active", "image2", "0", "default image"));
    // Nothing at all: no list, no file.
    ::remove(tb.hostPath("image2").c_str());
    ::remove(tb.hostPath("boot.dim").c_str());
    restart();
    EXPECT_EQ(dimImageCount(), 0);
    EXPECT_EQ(dimFile(), "<none>");
    EXPECT_EQ(active(), "<none>");
}

TEST_F(Dim, ThirdBlockAndLinesBeforeTheFirstMarkerAreDropped) {
    tb.writeFile("image1", makeImage());
    tb.writeFile("image2", makeImage());
    tb.writeFile("boot.dim", "junk\nmore junk\n" + block("active", "active", "image1") +
                                 block("backup", "backup", "image2", "0", "two") +
                                 block("backup", "backup", "image3"));
    dimInitialize();
    EXPECT_EQ(dimImageCount(), 2);
    EXPECT_EQ(dimFile(), block("active", "active", "image1") +
                             block("backup", "backup", "image2", "0", "two"));
}

TEST_F(Dim, LineLengthLimits) {
    tb.writeFile("image1", makeImage());
    std::string d255(255, 'd');
    tb.writeFile("boot.dim", block("active", "active", "image1", "0", d255));
    dimInitialize();
    char descr[256];
    ASSERT_EQ(dimImageDescrGet("image1", descr), 0);
    EXPECT_EQ(std::string(descr), d255);

    // A 256-character line ends the reading: the second block is lost.
    plat::resetProcessState();
    tb.writeFile("image2", makeImage());
    tb.writeFile("boot.dim", block("active", "active", "image1", "0", std::string(256, 'd')) +
                                 block("backup", "backup", "image2"));
    dimInitialize();
    EXPECT_EQ(dimImageCount(), 1);
    ASSERT_EQ(dimImageDescrGet("image1", descr), 0);
    EXPECT_STREQ(descr, "");

    // Over-long fields are cut to their widths.
    plat::resetProcessState();
    tb.writeFile("boot.dim", block("active", "active-and-more-text", "image1", "12345"));
    dimInitialize();
    EXPECT_STREQ(dimImageTable()[0].nextState, "active-and-mor");
    EXPECT_STREQ(dimImageTable()[0].currState, "active-and-mor");
    EXPECT_STREQ(dimImageTable()[0].tag, "1234");
    out();
}

TEST_F(Dim, LastLineWithoutLineFeedAndA1024ByteFile) {
    tb.writeFile("image1", makeImage());
    std::string text = block("active", "active", "image1", "0", "no line feed");
    tb.writeFile("boot.dim", text.substr(0, text.size() - 1));
    dimInitialize();
    char descr[256];
    ASSERT_EQ(dimImageDescrGet("image1", descr), 0);
    EXPECT_STREQ(descr, "no line feed");
    EXPECT_EQ(dimFile(), text);

    // Exactly 1024 bytes: read whole. Extra lines after the description
    // pad the file; they are ignored.
    std::string head = block("active", "active", "image1", "0", "x");
    std::string padded = head;
    while (padded.size() < 1024 - 101) padded += std::string(99, 'p') + "\n";
    padded += std::string(1024 - padded.size() - 1, 'q') + "\n";
    ASSERT_EQ(padded.size(), 1024u);
    tb.writeFile("boot.dim", padded);
    restart();
    EXPECT_EQ(dimFile(), head);

    // Beyond 1024 bytes the cut line is not taken as a line.
    std::string longer = block("active", "active", "image1", "0", "y");
    longer += std::string(1024 - longer.size() - 12, '\n');
    longer += block("backup", "backup", "image2");
    tb.writeFile("image2", makeImage());
    tb.writeFile("boot.dim", longer);
    restart();
    EXPECT_EQ(dimImageCount(), 1);
    EXPECT_STREQ(dimImageTable()[1].fileName, "");
    out();
}

TEST_F(Dim, RandomGarbageNeverEscapesTheSlots) {
    std::mt19937 rng(77);
    const char* pieces[] = {"---IMAGE---\n", "active\n", "backup\n", "image1\n",
                            "image2\n",      "\n",       "0\n"};
    tb.writeFile("image1", makeImage());
    for (int round = 0; round < 300; ++round) {
        std::string junk;
        size_t size = rng() % 1500;
        while (junk.size() < size) {
            if (rng() % 3 == 0)
                junk += pieces[rng() % 7];
            else
                junk += static_cast<char>(rng() % 2 ? rng() : 'a' + rng() % 26);
        }
        tb.writeFile("boot.dim", junk);
        restart();
        ASSERT_GE(dimImageCount(), 0);
        ASSERT_LE(dimImageCount(), 2);
        for (int i = 0; i < kDimMaxImages; ++i) {
            const DimImageEntry& e = dimImageTable()[i];
            ASSERT_LE(std::string(e.fileName).size(), kDimFileNameWidth);
            ASSERT_LE(std::string(e.description).size(), kDimDescriptionWidth);
        }
        dimShowBootCfg();
    }
    out();
}

TEST_F(Dim, ActivationLifeCycleAcrossRestarts) {
    std::string good = makeImage();
    tb.writeFile("image1", good);
    tb.writeFile("image2", good);
    dimInitialize();
    EXPECT_EQ(dimIsBackupImageActivated(), 0);
    EXPECT_EQ(dimImageActivate("image2"), 0);
    EXPECT_EQ(dimImageActivate("image2"), 6);
    EXPECT_EQ(dimImageActivate("image3"), 5);
    EXPECT_EQ(dimIsBackupImageActivated(), 1);
    EXPECT_EQ(dimFile(), block("active", "backup", "image1", "0", "default image") +
                             block("backup", "active", "image2"));
    // Roles change only at the next load of the list.
    EXPECT_EQ(active(), "image1");
    EXPECT_EQ(dimImageDelete("image2"), 8);  // pending active
    EXPECT_EQ(dimImageDelete("image1"), 8);  // active now
    restart();
    EXPECT_EQ(active(), "image2");
    EXPECT_EQ(backup(), "image1");
    EXPECT_EQ(out(), "");

    // The former active image, now backup, is checked and removed when bad.
    std::string bad = good;
    bad[bad.size() - 1] ^= 1;
    tb.writeFile("image1", bad);
    EXPECT_EQ(dimImageActivate("image1"), 0);
    EXPECT_EQ(dimImageActivate("image2"), 0);  // back again
    restart();
    EXPECT_EQ(out(), "\nValidating the backup image image1 failed, ret code = 3\n");
    EXPECT_FALSE(tb.exists("image1"));
    EXPECT_EQ(backup(), "<none>");
    EXPECT_EQ(dimFile(), block("active", "active", "image2"));
    EXPECT_EQ(dimImageCount(), 1);
}

TEST_F(Dim, AddDeleteAndDescriptions) {
    tb.writeFile("image1", makeImage());
    tb.writeFile("xcode.bin", "new code");
    dimInitialize();
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), 0);
    EXPECT_EQ(tb.readFile("image2"), "new code");
    EXPECT_EQ(backup(), "image2");
    // Replacing a listed image leaves the list and boot.dim alone.
    tb.writeFile("xcode.bin", "newer code");
    std::string list = dimFile();
    tb.writeFile("boot.dim", "untouched");
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), 0);
    EXPECT_EQ(tb.readFile("image2"), "newer code");
    EXPECT_EQ(dimFile(), "untouched");
    tb.writeFile("boot.dim", list);
    EXPECT_EQ(dimImageAdd("xcode.bin", "image3"), 1);  // both slots taken
    EXPECT_EQ(dimImageAdd("nothing", "image4"), 1);
    EXPECT_EQ(dimFile(), list);

    int result = 0;
    EXPECT_EQ(dimIsAnImage("image2", &result), 0);
    EXPECT_EQ(result, 13);
    EXPECT_EQ(dimIsAnImage("image3", &result), 0);  // a file, not listed
    EXPECT_EQ(result, 2);

    std::string longText(300, 'L');
    EXPECT_EQ(dimImageDescrSet("image2", longText.c_str()), 0);
    char descr[256];
    ASSERT_EQ(dimImageDescrGet("image2", descr), 0);
    EXPECT_EQ(std::string(descr), std::string(255, 'L'));
    EXPECT_NE(dimFile().find(std::string(255, 'L') + "\n"), std::string::npos);
    EXPECT_EQ(dimImageDescrSet("image3", "x"), 5);

    EXPECT_EQ(dimImageDelete("image3"), 5);  // not listed
    ::remove(tb.hostPath("image2").c_str());
    EXPECT_EQ(dimImageDelete("image2"), 5);  // file gone
    EXPECT_EQ(dimImageDescrGet("image2", descr), 5);
    tb.writeFile("image2", "back");
    EXPECT_EQ(dimImageDelete("image2"), 0);
    EXPECT_FALSE(tb.exists("image2"));
    EXPECT_EQ(dimImageCount(), 1);
    EXPECT_EQ(dimFile(), block("active", "active", "image1", "0", "default image"));
    // The freed slot takes the next image.
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), 0);
    EXPECT_EQ(dimImageCount(), 2);
    out();
}

TEST_F(Dim, FailedCopiesAndListWritesChangeNothing) {
    const std::string old = makeImage();
    tb.writeFile("image1", old);
    tb.writeFile("image2", old);
    tb.writeFile("xcode.bin", "new code");
    dimInitialize();
    const std::string list = dimFile();
    // A copy that fails part way, or has no source, keeps the old image.
    tb.disk().failWriteAt(1);
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), 1);
    EXPECT_EQ(dimImageAdd("missing", "image2"), 1);
    EXPECT_EQ(tb.readFile("image2"), old);
    EXPECT_FALSE(tb.exists("image2.new"));
    // boot.dim cannot be rewritten: every change fails and is undone in memory.
    ASSERT_EQ(plat::mkdir(kDimTempFileName), 0);
    const std::string table(reinterpret_cast<const char*>(dimImageTable()),
                            sizeof(DimImageEntry) * kDimMaxImages);
    EXPECT_EQ(dimImageActivate("image2"), 2);
    EXPECT_EQ(dimImageDescrSet("image2", "d"), 2);
    EXPECT_EQ(dimImageDelete("image2"), 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dimImageTable()), table.size()), table);
    EXPECT_EQ(dimFile(), list);
    EXPECT_EQ(tb.readFile("image2"), old);
}

TEST_F(Dim, ShowBootCfg) {
    EXPECT_EQ(dimShowBootCfg(), -1);
    EXPECT_EQ(out(), " boot.dim doesn't exist on the disk \n");
    tb.writeFile("boot.dim", "");
    EXPECT_EQ(dimShowBootCfg(), -3);
    EXPECT_EQ(out(), " boot.dim empty\n");
    ::remove(tb.hostPath("boot.dim").c_str());
    ASSERT_EQ(plat::mkdir("boot.dim"), 0);  // reading a folder fails
    EXPECT_EQ(dimShowBootCfg(), -2);
    EXPECT_EQ(out(), " boot.dim read error\n");
    plat::rmdir("boot.dim");
    tb.writeFile("boot.dim", block("active", "active", "image1", "0", "d"));
    EXPECT_EQ(dimShowBootCfg(), 0);
    EXPECT_EQ(out(),
              "\nsize is 37 \n"
              "boot.dim 1 :\t\t ---IMAGE--- \n"
              "boot.dim 2 :\t\t active \n"
              "boot.dim 3 :\t\t active \n"
              "boot.dim 4 :\t\t image1 \n"
              "boot.dim 5 :\t\t 0 \n"
              "boot.dim 6 :\t\t d \n");
}

TEST_F(Dim, PowerLossDuringARewriteLeavesTheOldOrTheNewList) {
    std::string good = makeImage();
    tb.writeFile("image1", good);
    tb.writeFile("image2", good);
    dimInitialize();
    const std::string before = dimFile();
    const std::string after = block("active", "backup", "image1", "0", "default image") +
                              block("backup", "active", "image2");
    bool completed = false;
    for (long n = 1; n < 20 && !completed; ++n) {
        tb.writeFile("boot.dim", before);
        plat::resetProcessState();
        dimInitialize();
        ASSERT_EQ(dimFile(), before);
        tb.disk().powerLossAt(n);
        auto stop = tb.run([] { dimImageActivate("image2"); });
        tb.disk().clearFaults();
        completed = !stop;
        std::string left = dimFile();
        EXPECT_TRUE(left == before || left == after) << "step " << n << ": " << left;
        // The next start reads a whole list and drops the leftover.
        plat::resetProcessState();
        dimInitialize();
        EXPECT_FALSE(tb.exists(kDimTempFileName)) << n;
        if (left == before) {
            EXPECT_EQ(active(), "image1") << n;
            EXPECT_EQ(dimIsBackupImageActivated(), 0) << n;
        } else {
            EXPECT_EQ(active(), "image2") << n;
            EXPECT_EQ(backup(), "image1") << n;
        }
        EXPECT_EQ(out(), "") << n;
    }
    EXPECT_TRUE(completed);
}

TEST_F(Dim, StaleTemporaryFileIsIgnored) {
    tb.writeFile("image1", makeImage());
    tb.writeFile("boot.dim", block("active", "active", "image1", "0", "kept"));
    tb.writeFile(kDimTempFileName, block("active", "active", "image2") + "half");
    dimInitialize();
    EXPECT_EQ(active(), "image1");
    EXPECT_FALSE(tb.exists(kDimTempFileName));
    EXPECT_EQ(dimFile(), block("active", "active", "image1", "0", "kept"));
}

}  // namespace
