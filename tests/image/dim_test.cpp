// The image list: reading boot.dim, its rewrite, the life cycle of images and
// the list's survival of a power loss during a rewrite.
#include "image/dim.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bspapi/bspapi.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

// One entry of boot.dim; `states` gives currState and nextState, a for
// "active" and b for "backup".
std::string entry(const char* states, const std::string& name, const std::string& descr = "") {
    auto state = [](char c) { return c == 'a' ? "active\n" : "backup\n"; };
    return "---IMAGE---\n" + std::string(state(states[0])) + state(states[1]) + name + "\n0\n" +
           descr + "\n";
}
const std::string kFirst = entry("aa", "image1", "default image");

class Dim : public stktest::BoardTest {
  protected:
    std::string dimFile() { return tb.exists("boot.dim") ? tb.readFile("boot.dim") : "<none>"; }
    void restart() {
        plat::resetProcessState();
        dimInitialize();
    }
    void restart(const std::string& list) {
        tb.writeFile("boot.dim", list);
        restart();
    }
};

TEST_F(Dim, ReadingRepairsAndRewritesTheList) {
    const std::string d255(255, 'd');
    std::string beyond = entry("aa", "image1", "y");
    beyond += std::string(1024 - beyond.size() - 12, '\n') + entry("bb", "image2");
    struct Case {
        std::optional<std::string> list;
        const char* images;  // which of image1 and image2 exist
        std::string after;
    } cases[] = {
        {std::nullopt, "12", kFirst + entry("bb", "image2")},
        {"", "2", entry("aa", "image2", "default image")},
        {"junk\nactive\n" + entry("aa", "") + "---IMAGE---", "12", kFirst + entry("bb", "image2")},
        {entry("aa", "image1") + entry("bb", "boot.dim"), "1",
         entry("aa", "image1") + entry("bb", "boot.dim")},
        {entry("bb", "image2") + entry("aa", "image2"), "2", entry("bb", "image2")},
        {std::nullopt, "", "<none>"},
        {"junk\n" + entry("aa", "image1") + entry("bb", "image2") + entry("bb", "image3"), "12",
         entry("aa", "image1") + entry("bb", "image2")},
        // A pending activation takes effect; 255 characters are a whole line.
        {entry("ab", "image1", d255) + entry("ba", "image2"), "12",
         entry("bb", "image1", d255) + entry("aa", "image2")},
        {entry("aa", "image1", d255 + "d") + entry("bb", "image2"), "12", entry("aa", "image1")},
        {"---IMAGE---\nactive\nactive-and-more\nimage1\n12345\n", "1",
         "---IMAGE---\nactive-and-mor\nactive-and-mor\nimage1\n1234\n\n"},
        {beyond, "12", entry("aa", "image1", "y")},
    };
    for (const Case& c : cases) {
        for (const char* name : {"image1", "image2", "boot.dim"}) plat::remove(name);
        for (const char* n = c.images; *n; ++n)
            tb.writeFile(std::string("image") + *n, stktest::makeImage());
        c.list ? restart(*c.list) : restart();
        EXPECT_EQ(dimFile(), c.after) << &c - cases;
    }
    EXPECT_EQ(con().output(), "");
}

TEST_F(Dim, ActivationAndDeletionAcrossRestarts) {
    const std::string good = stktest::makeImage();
    tb.writeFile("image1", good);
    tb.writeFile("image2", good);
    restart();
    // A copy that fails part way, or has no source, keeps the old image; when
    // boot.dim cannot be rewritten every change fails and is undone in memory.
    tb.writeFile("xcode.bin", "new code");
    tb.disk().failWriteAt(1);
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), kBspFailure);
    EXPECT_EQ(dimImageAdd("missing", "image2"), kBspFailure);
    EXPECT_FALSE(tb.exists("image2.new"));
    ASSERT_EQ(plat::mkdir(kDimTempFileName), 0);
    const std::string table(reinterpret_cast<const char*>(dimImageTable()),
                            sizeof(DimImageEntry) * 2);
    EXPECT_EQ(dimImageActivate("image2"), kBspError);
    EXPECT_EQ(dimImageDescrSet("image2", "d"), kBspError);
    EXPECT_EQ(dimImageDelete("image2"), kBspError);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dimImageTable()), table.size()), table);
    EXPECT_EQ(dimFile(), kFirst + entry("bb", "image2"));
    EXPECT_EQ(tb.readFile("image2"), good);
    plat::rmdir(kDimTempFileName);
    EXPECT_EQ(dimImageActivate("image2"), 0);
    EXPECT_EQ(dimImageActivate("image2"), kBspAlreadySo);
    EXPECT_EQ(dimImageActivate("image3"), kBspNotFound);
    EXPECT_EQ(dimIsBackupImageActivated(), 1);
    EXPECT_EQ(dimFile(), entry("ab", "image1", "default image") + entry("ba", "image2"));
    EXPECT_EQ(dimImageDelete("image2"), kBspRefused);
    EXPECT_EQ(dimImageDelete("image1"), kBspRefused);
    // The former active image, now backup, is checked and removed when bad.
    tb.writeFile("image1", good.substr(0, good.size() - 1));
    restart();
    EXPECT_EQ(con().output(), "\nValidating the backup image image1 failed, ret code = 3\n");
    EXPECT_FALSE(tb.exists("image1"));
    EXPECT_EQ(dimFile(), entry("aa", "image2"));
}

TEST_F(Dim, AddDeleteDescriptionsAndTheirDisplay) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("xcode.bin", "new code");
    restart();
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), 0);
    EXPECT_EQ(tb.readFile("image2"), "new code");
    // A store over a listed image, the active one too, leaves the list as it is.
    tb.writeFile("boot.dim", "untouched");
    EXPECT_EQ(dimImageAdd("xcode.bin", "image1"), kBspSuccess);
    EXPECT_EQ(dimImageAdd("xcode.bin", "image2"), kBspSuccess);
    EXPECT_EQ(tb.readFile("image1"), "new code");
    EXPECT_EQ(dimFile(), "untouched");
    EXPECT_EQ(dimImageAdd("xcode.bin", "image3"), kBspFailure);  // both slots taken
    EXPECT_EQ(dimImageAdd("nothing", "image4"), kBspFailure);
    int isImage = 0;
    EXPECT_EQ(dimIsAnImage("image2", &isImage), kBspSuccess);
    EXPECT_EQ(isImage, kDimIsAnImage);
    EXPECT_EQ(dimImageDescrSet("image2", std::string(300, 'L').c_str()), 0);
    char descr[256];
    ASSERT_EQ(dimImageDescrGet("image2", descr), 0);
    EXPECT_EQ(descr, std::string(255, 'L'));
    EXPECT_EQ(dimFile(), kFirst + entry("bb", "image2", descr));
    EXPECT_EQ(dimImageDescrSet("image3", "x"), kBspNotFound);
    EXPECT_EQ(dimImageDelete("image3"), kBspNotFound);
    plat::remove("image2");
    EXPECT_EQ(dimImageDelete("image2"), kBspNotFound);  // the file is gone
    EXPECT_EQ(dimImageDescrGet("image2", descr), kBspNotFound);
    tb.writeFile("image2", "back");
    EXPECT_EQ(dimImageDelete("image2"), 0);
    EXPECT_FALSE(tb.exists("image2"));
    EXPECT_EQ(dimFile(), kFirst);
    EXPECT_EQ(dimShowBootCfg(), 0);
    tb.writeFile("boot.dim", "");
    EXPECT_EQ(dimShowBootCfg(), -3);
    plat::remove("boot.dim");
    EXPECT_EQ(dimShowBootCfg(), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), "image/image_texts.txt", "DimShowBootCfg"));
}

TEST_F(Dim, PowerLossDuringARewriteLeavesTheOldOrTheNewList) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    const std::string before = kFirst + entry("bb", "image2");
    const std::string after = entry("ab", "image1", "default image") + entry("ba", "image2");
    bool completed = false;
    for (long n = 1; n < 20 && !completed; ++n) {
        restart(before);
        tb.disk().powerLossAt(n);
        completed = !tb.run([] { dimImageActivate("image2"); });
        tb.disk().clearFaults();
        const std::string left = dimFile();
        EXPECT_TRUE(left == before || left == after) << n << ": " << left;
        // The next start reads a whole list and drops the leftover.
        restart();
        EXPECT_FALSE(tb.exists(kDimTempFileName));
        EXPECT_EQ(dimFile(), left == before
                                 ? before
                                 : entry("bb", "image1", "default image") + entry("aa", "image2"));
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(con().output(), "");
}

}  // namespace
