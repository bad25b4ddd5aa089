// The launcher on the test board: console texts, the zlib progress bar, the
// hand-off, and every way a launch ends in the decompression error.
#include "image/dim.h"
#include "launch/launch.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "boot/boot.h"
#include "launch/lzma_decode.h"
#include "launch_support.h"
#include "support/test_images.h"

namespace launchtest {
namespace {

std::string zlibAtLevel(const std::string& data, int level) {
    uLongf len = compressBound(uLong(data.size()));
    std::string out(len, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &len,
              reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), level);
    out.resize(len);
    return out;
}

size_t countBars(const std::string& out) {
    const std::string scaleLine = "                       50%                     100%\n";
    size_t scale = out.find(scaleLine);
    if (scale == std::string::npos) return 0;
    size_t from = scale + scaleLine.size();
    size_t n = 0;
    while (from + n < out.size() && out[from + n] == '|') ++n;
    return n;
}

// The bar rule, on the input counts after each inflate call.
size_t expectedBars(const std::vector<uint64_t>& consumedAfterCall, uint64_t size) {
    size_t bars = 0;
    unsigned last = 1;
    for (uint64_t c : consumedAfterCall) {
        unsigned pct = unsigned(c * 100 / size);
        if (pct % 2 == 0 && pct != last) {
            ++bars;
            last = pct;
        }
    }
    return bars;
}

using LauncherTest = LaunchTest;

TEST_F(LauncherTest, ZlibLaunchPrintsDateScaleBarAndHandsOff) {
    std::string payload = firmwareText(300000, 5);
    tb.writeFile("xcode.bin", "left over");
    tb.writeFile("bootcode.bin", "left over");
    plat::board().regs().hid0 = 0x80004000;
    auto stop = launch(imageAround(zlibAtLevel(payload, 9), kZlib));
    expectStarted(stop, payload);

    const std::string& out = con().output();
    const std::string head =
        "\n\nOperational Code Date: Tue Mar  1 10:00:00 2011\nUncompressing.....\n\n"
        "                       50%                     100%\n";
    ASSERT_EQ(out.substr(0, head.size()), head);
    size_t bars = countBars(out);
    EXPECT_EQ(out.substr(head.size() + bars), "\n");
    EXPECT_GE(bars, 1u);
    EXPECT_LE(bars, 51u);
    EXPECT_FALSE(tb.exists("xcode.bin"));
    EXPECT_FALSE(tb.exists("bootcode.bin"));

    // The hand-off: interrupts masked and locked, cache invalidated, HID0 cleared,
    // after a second for the bar and a second before the jump.
    const plat::CpuRegisters& r = plat::board().regs();
    EXPECT_EQ(r.msr, 0x00029200u & ~0x00028000u);
    EXPECT_EQ(r.intLockLevel, 1);
    EXPECT_EQ(r.cacheInvalidates, 1);
    EXPECT_EQ(r.hid0, 0u);
    EXPECT_EQ(r.l1csr1 & 0x2u, 0u);
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 2000000u);
}

TEST_F(LauncherTest, LzmaLaunchHasNoBarAndPausesOnlyBeforeTheJump) {
    std::string payload = firmwareText(500000, 6);
    auto stop = launch(imageAround(stktest::lzmaAloneCompress(payload), kLzma));
    expectStarted(stop, payload);
    EXPECT_EQ(con().output(),
              "\n\nOperational Code Date: Tue Mar  1 10:00:00 2011\nUncompressing.....\n\n");
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 1000000u);
}

TEST_F(LauncherTest, AnyFlagOtherThanOneMeansLzma) {
    std::string payload = firmwareText(10000, 8);
    auto stop = launch(imageAround(stktest::lzmaAloneCompress(payload), 7));
    expectStarted(stop, payload);
}

TEST_F(LauncherTest, ImageInsideStkFileStartsTheRecordOfThisBoard) {
    stktest::ImageSpec spec;
    spec.payload = firmwareText(200000, 9);
    spec.compression = 2;
    spec.loadAddress = 0x00200000;
    spec.bootCode = "boot code bytes";
    const uint32_t targets[] = {0x00501234, 0x00508541};
    auto stop = launch(stktest::makeStkFile(spec, targets, 2));
    expectStarted(stop, spec.payload, 0x00200000);
}

TEST_F(LauncherTest, BarOfStoredStreamFollowsTheRule) {
    // Stored blocks are consumed as offered: 1024 bytes per call, so the
    // input count after call k is min(1024 k, Size).
    for (size_t n : {size_t(100), size_t(5000), size_t(70000), size_t(400000)}) {
        SCOPED_TRACE(n);
        con().clearOutput();
        std::string payload = randomBytes(n, uint32_t(n));
        std::string stream = zlibAtLevel(payload, 0);
        std::vector<uint64_t> counts;
        for (uint64_t c = 0; c < stream.size();) {
            c = std::min<uint64_t>(c + 1024, stream.size());
            counts.push_back(c);
        }
        auto stop = launch(imageAround(stream, kZlib));
        expectStarted(stop, payload);
        EXPECT_EQ(countBars(con().output()), expectedBars(counts, stream.size()));
        EXPECT_LE(countBars(con().output()), 51u);
    }
}

TEST_F(LauncherTest, LargeStreamDrawsTheWholeBar) {
    // Every per cent is passed when one call consumes less than 1 per cent.
    std::string payload = randomBytes(1 << 20, 4);
    auto stop = launch(imageAround(zlibAtLevel(payload, 6), kZlib));
    expectStarted(stop, payload);
    EXPECT_EQ(countBars(con().output()), 51u);
}

TEST_F(LauncherTest, SizeEndingBeforeTheEndMarkerStartsWhatWasInflated) {
    std::string payload = randomBytes(64 * 1024, 12);
    std::string stream = zlibAtLevel(payload, 0);
    // Without the checksum and the last 10000 data bytes.
    uint32_t size = uint32_t(stream.size() - 4 - 10000);
    std::vector<uint64_t> counts;
    for (uint64_t c = 0; c < size;) {
        c = std::min<uint64_t>(c + 1024, size);
        counts.push_back(c);
    }
    auto stop = launch(imageAround(stream, kZlib, kLoad, size));
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << con().output();
    ASSERT_GT(stop->loadedBytes, 0u);
    ASSERT_LT(stop->loadedBytes, payload.size());
    EXPECT_EQ(ram(kLoad, stop->loadedBytes), payload.substr(0, stop->loadedBytes));
    EXPECT_EQ(countBars(con().output()), expectedBars(counts, size));
}

TEST_F(LauncherTest, OutputUpToTheBootAreaIsAcceptedBeyondItRefused) {
    const uint32_t bootArea = uint32_t(plat::Ram::kBootArea);
    std::string payload = randomBytes(200000, 13);
    std::string z = zlibAtLevel(payload, 6);
    std::string lz = stktest::lzmaAloneCompress(payload);
    std::string lzUnknown = lz;
    for (int i = 5; i < 13; ++i) lzUnknown[i] = char(0xff);
    uint32_t exact = bootArea - uint32_t(payload.size());

    expectStarted(launch(imageAround(z, kZlib, exact)), payload, exact);
    expectStarted(launch(imageAround(lz, kLzma, exact)), payload, exact);
    expectStarted(launch(imageAround(lzUnknown, kLzma, exact)), payload, exact);

    for (const auto& [stream, flag] :
         {std::pair{z, kZlib}, std::pair{lz, kLzma}, std::pair{lzUnknown, kLzma}}) {
        con().clearOutput();
        expectResetAfterError(launch(imageAround(stream, flag, exact + 1)));
        con().clearOutput();
        expectResetAfterError(launch(imageAround(stream, flag, bootArea)));
        con().clearOutput();
        expectResetAfterError(launch(imageAround(stream, flag, 0xFFFFFF00u)));
    }
}

TEST_F(LauncherTest, RejectedZlibStreams) {
    std::string payload = firmwareText(100000, 14);
    std::string z = zlibAtLevel(payload, 9);

    // A gzip member instead of a zlib stream.
    std::string gz(10, '\0');
    gz[0] = char(0x1f);
    gz[1] = char(0x8b);
    gz[2] = 8;
    std::string gzip = gz + z.substr(2);
    expectResetAfterError(launch(imageAround(gzip, kZlib)));

    // A corrupted byte: the checksum at the latest catches it.
    std::string bad = z;
    bad[bad.size() / 2] = char(bad[bad.size() / 2] ^ 0x55);
    con().clearOutput();
    expectResetAfterError(launch(imageAround(bad, kZlib)));

    // A Size that claims more than the file holds.
    con().clearOutput();
    expectResetAfterError(launch(imageAround(z, kZlib, kLoad, uint32_t(z.size() + 1))));
    con().clearOutput();
    expectResetAfterError(launch(imageAround(z, kZlib, kLoad, 0xFFFFFFF0u)));
}

TEST_F(LauncherTest, RejectedLzmaStreams) {
    std::string payload = firmwareText(100000, 15);
    std::string lz = stktest::lzmaAloneCompress(payload);
    std::string unknown = lz;
    for (int i = 5; i < 13; ++i) unknown[i] = char(0xff);

    std::string badProps = lz;
    badProps[0] = char(225);
    auto stop = launch(imageAround(badProps, kLzma));
    expectResetAfterError(stop);
    EXPECT_NE(con().output().find("Uncompressing.....\n\nLzmaDecodeProperties returned ERROR\n"
                                  "\n\nThere was an error"),
              std::string::npos);

    // Truncated: the input runs out before the size or the end marker.
    for (const std::string& s : {lz, unknown}) {
        con().clearOutput();
        expectResetAfterError(launch(imageAround(s.substr(0, s.size() / 2), kLzma)));
    }
    // Shorter than its own header.
    con().clearOutput();
    expectResetAfterError(launch(imageAround(lz.substr(0, 9), kLzma)));

    // Corrupt data.
    std::string bad = unknown;
    for (size_t i = 100; i < 140; ++i) bad[i] = char(bad[i] ^ 0xa5);
    con().clearOutput();
    expectResetAfterError(launch(imageAround(bad, kLzma)));

    // lc + lp above what the decoder supports.
    std::string wide = lz;
    wide[0] = char(8 + 9 * 4);  // lc 8, lp 4, pb 0
    con().clearOutput();
    expectResetAfterError(launch(imageAround(wide, kLzma)));
}

TEST_F(LauncherTest, SizeZeroOrMissingImageResets) {
    std::string z = zlibAtLevel("firmware", 9);
    expectResetAfterError(launch(imageAround(z, kZlib, kLoad, 0)));

    con().clearOutput();
    std::strcpy(activeImageFileName, "image2");
    auto stop = tb.run([] { start_operational_code(1); });
    expectResetAfterError(stop);
    EXPECT_NE(con().output().find("Operational Code Date: \nUncompressing.....\n\n"),
              std::string::npos);
}

TEST_F(LauncherTest, StartTypeIsPassedOn) {
    std::string payload = "firmware";
    tb.writeFile("image1", imageAround(zlibAtLevel(payload, 9), kZlib));
    auto stop = tb.run([] { start_operational_code(7); });
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(stop->startType, 7);
}

TEST(LzmaProperties, DecodeAndRefuseAbove224) {
    CLzmaProperties p;
    const unsigned char ok[5] = {0x5d, 0x00, 0x00, 0x80, 0x00};  // lc 3, lp 0, pb 2, 8 MiB
    ASSERT_EQ(LzmaDecodeProperties(&p, ok, 5), LZMA_RESULT_OK);
    EXPECT_EQ(p.lc, 3);
    EXPECT_EQ(p.lp, 0);
    EXPECT_EQ(p.pb, 2);
    EXPECT_EQ(p.DictionarySize, 0x00800000u);
    EXPECT_EQ(LzmaGetNumProbs(p), 1846u + (768u << 3));
    const unsigned char top[5] = {224, 0, 0, 1, 0};
    ASSERT_EQ(LzmaDecodeProperties(&p, top, 5), LZMA_RESULT_OK);
    EXPECT_EQ(p.lc, 8);
    EXPECT_EQ(p.lp, 4);
    EXPECT_EQ(p.pb, 4);
    const unsigned char bad[5] = {225, 0, 0, 1, 0};
    EXPECT_NE(LzmaDecodeProperties(&p, bad, 5), LZMA_RESULT_OK);
    EXPECT_NE(LzmaDecodeProperties(&p, ok, 4), LZMA_RESULT_OK);
}

}  // namespace
}  // namespace launchtest
