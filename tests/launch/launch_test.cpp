// The launcher on the test board: console texts, the zlib progress bar, the
// hand-off, streams from independent encoders and every way a launch ends in
// the decompression error; the diagnostics image and its selector; and the
// stkimage and stkboot programs.
#include "launch/launch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "image/dim.h"
#include "image/stkimage.h"
#include "launch/diag.h"
#include "sim/sdram.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

constexpr uint32_t kLoad = 0x00010000, kZlib = 1, kLzma = 2;
const std::string kHead =
    "\n\nOperational Code Date: Tue Mar  1 10:00:00 2011\nUncompressing.....\n\n";
const std::string kScale = "                       50%                     100%\n";

// A plain image whose operational code component is `stream` as given.
std::string imageAround(const std::string& stream, uint32_t compression, uint32_t load = kLoad) {
    return stktest::makeImage({.loadAddress = load,
                               .compression = compression,
                               .timestamp = "Tue Mar  1 10:00:00 2011",
                               .stream = stream});
}
// The same with component 0 claiming `size` bytes; the file CRC still fits.
std::string withCodeSize(const std::string& image, uint32_t size) {
    return stktest::patched(image, 28, size);
}
// The bar after the scale: a mark for each even per cent of the stream consumed.
std::string bar(size_t marks) {
    return kScale + std::string(marks, '|') + "\n";
}

// Test board with the active image "image1".
class LaunchTest : public stktest::BoardTest {
  protected:
    LaunchTest() { std::strcpy(activeImageFileName, "image1"); }
    // Stores a non-empty `image` as image1 and starts it with start type 1.
    std::optional<plat::BoardStop> launch(const std::string& image) {
        con().clearOutput();
        if (!image.empty()) tb.writeFile("image1", image);
        startUs_ = tb.clock().nowUs();
        return tb.run([] { start_operational_code(1); });
    }
    std::string ram(uint32_t addr, size_t n) {
        const uint8_t* p = sim::sdram().at(addr, n);
        return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    }
    // Expects a hand-off at `load` with exactly `payload` in memory.
    void expectStarted(const std::optional<plat::BoardStop>& stop, const std::string& payload,
                       uint32_t load = kLoad) {
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff) << con().output();
        EXPECT_EQ(stop->entry, load);
        EXPECT_EQ(stop->startType, 1);
        EXPECT_EQ(stop->loadedBytes, payload.size());
        EXPECT_EQ(plat::board().regs().flushedStart, load);  // the data cache, before the jump
        EXPECT_EQ(plat::board().regs().flushedBytes, payload.size());
        EXPECT_TRUE(ram(load, payload.size()) == payload) << "memory differs from the payload";
        // Cleared, so that a later launch cannot pass on what this one left.
        if (uint8_t* p = sim::sdram().at(load, payload.size())) std::memset(p, 0, payload.size());
    }
    // Expects the decompression error, after `before` when given, and a reset
    // two seconds later.
    void expectResetAfterError(const std::optional<plat::BoardStop>& stop,
                               const std::string& before = "") {
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Reset) << con().output();
        EXPECT_TRUE(con().output().ends_with(
            before + "\n\nThere was an error during decompression... resetting the switch\n"))
            << con().output();
        EXPECT_GE(tb.clock().nowUs() - startUs_, 2000000u);
    }

    uint64_t startUs_ = 0;
};

TEST_F(LaunchTest, ZlibShowsABarByTheInputConsumedLzmaNoneThenBothHandOff) {
    tb.writeFile("xcode.bin", "left over");
    tb.writeFile("bootcode.bin", "left over");
    plat::board().regs().hid0 = 0x80004000;
    // Stored blocks are consumed as offered, 1024 bytes per call (5 calls for
    // 5000 bytes reach 20, 40, 61, 81 and 100 per cent); the compressed
    // megabyte takes under one per cent per call: every mark shows.
    const std::string big = stktest::randomBytes(1 << 20, 4);
    for (auto [n, marks] :
         {std::pair{100, 1}, {5000, 3}, {70000, 34}, {400000, 51}, {1 << 20, 51}}) {
        const std::string stream = stktest::zlibCompress(big.substr(0, n), n == 1 << 20 ? 6 : 0);
        expectStarted(launch(imageAround(stream, kZlib)), big.substr(0, n));
        EXPECT_EQ(con().output(), kHead + bar(marks));
    }
    EXPECT_FALSE(tb.exists("xcode.bin"));
    EXPECT_FALSE(tb.exists("bootcode.bin"));
    // Interrupts masked and locked, cache invalidated, HID0 cleared, after a
    // second for the bar and a second before the jump.
    const plat::CpuRegisters& r = plat::board().regs();
    EXPECT_EQ(r.msr, 0x00029200u & ~0x00028000u);
    EXPECT_EQ(r.intLockLevel, 5);  // once per launch
    EXPECT_EQ(r.cacheInvalidates, 5);
    EXPECT_EQ(r.hid0, 0u);
    EXPECT_EQ(r.l1csr1 & 0x2u, 0u);
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 2000000u);
    // LZMA (any flag but 1) has no bar and pauses only before the jump.
    expectStarted(launch(imageAround(stktest::lzmaAloneCompress(big), 7)), big);
    EXPECT_EQ(con().output(), kHead);
    EXPECT_EQ(tb.clock().nowUs() - startUs_, 1000000u);
    // A Size that ends before the end marker starts what was inflated.
    const std::string stream = stktest::zlibCompress(big.substr(0, 65536), 0);
    auto stop = launch(withCodeSize(imageAround(stream, kZlib), uint32_t(stream.size() - 10004)));
    ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff) << con().output();
    ASSERT_LT(stop->loadedBytes, 65536u);
    EXPECT_EQ(ram(kLoad, stop->loadedBytes), big.substr(0, stop->loadedBytes));
    EXPECT_EQ(con().output(), kHead + bar(27));
}

TEST_F(LaunchTest, BrokenStreamsAndOverrunsOfTheBootAreaReset) {
    const std::string payload = stktest::textBytes(100000, 14);
    const std::string z = stktest::zlibCompress(payload), lz = stktest::lzmaAloneCompress(payload);
    std::string unknown = lz;  // no size in the header: the end marker ends it
    unknown.replace(5, 8, 8, '\xff');
    auto with = [](std::string s, size_t at, const std::string& bytes) {
        return s.replace(at, bytes.size(), bytes);
    };
    const uint32_t exact = uint32_t(plat::bootAreaStart() - payload.size());
    const std::pair<std::string, uint32_t> streams[] = {{z, kZlib}, {lz, kLzma}, {unknown, kLzma}};
    // Output that ends right at the boot area is fine; a byte more is not.
    for (const auto& [stream, flag] : streams) {
        expectStarted(launch(imageAround(stream, flag, exact)), payload, exact);
        for (uint32_t load : {exact + 1, uint32_t(plat::bootAreaStart()), 0xFFFFFF00u})
            expectResetAfterError(launch(imageAround(stream, flag, load)));
    }
    const std::pair<std::string, std::string> cases[] = {
        {imageAround(with(z, 0, "\x1f\x8b\x08"), kZlib), ""},
        {imageAround(with(z, z.size() / 2, std::string(4, '\x55')), kZlib), ""},
        {withCodeSize(imageAround(z, kZlib), uint32_t(z.size() + 1)), ""},
        {withCodeSize(imageAround(z, kZlib), 0), ""},
        {imageAround(with(lz, 0, "\xe1"), kLzma), "LzmaDecodeProperties returned ERROR\n"},
        {imageAround(with(lz, 0, std::string(1, 8 + 9 * 4)), kLzma), ""},  // lc 8 + lp 4
        {imageAround(lz.substr(0, lz.size() / 2), kLzma), ""},
        {imageAround(unknown.substr(0, lz.size() / 2), kLzma), ""},
        {imageAround(lz.substr(0, 9), kLzma), ""},
        {imageAround(with(unknown, 100, std::string(40, '\xa5')), kLzma), ""},
        {"", "\n\nOperational Code Date: \nUncompressing.....\n\n"},  // no image at all
    };
    for (const auto& [image, before] : cases) {
        if (image.empty()) std::strcpy(activeImageFileName, "image2");
        expectResetAfterError(launch(image), before);
    }
}

// Streams made by independent tools decode byte for byte.
TEST_F(LaunchTest, StreamsFromIndependentEncodersDecode) {
    const std::string dir = tb.dir();
    const std::string text = stktest::textBytes(2 << 20, 7);
    stktest::writeHostFile(dir + "/text", text);
    stktest::writeHostFile(dir + "/random", stktest::randomBytes(1 << 20, 11));
    const std::string py =
        "python3 -c \"import sys, zlib, lzma; d = open(sys.argv[1], 'rb').read(); "
        "sys.stdout.buffer.write(";
    const std::string lzma1 =
        "lzma.compress(d, format=lzma.FORMAT_ALONE, filters=[{'id': lzma.FILTER_LZMA1, ";
    const std::string xz = "xz --format=lzma -T1 -c ";
    // Each command reads the input named last and writes the stream to stdout.
    const std::tuple<const char*, std::string, uint32_t> cases[] = {
        {"text", py + "zlib.compress(d, 1))\"", kZlib},
        {"random", xz + "-0", kLzma},
        {"text", xz + "--lzma1=preset=1,dict=64KiB,lc=0,lp=2,pb=0", kLzma},
        {"text", py + lzma1 + "'dict_size': 1 << 22, 'lc': 1, 'lp': 3, 'pb': 1}]))\"", kLzma},
        {"random", py + lzma1 + "'preset': 9 | lzma.PRESET_EXTREME}]))\"", kLzma},
        {"text", xz + "-6", kLzma},  // kept for the sizes below
    };
    for (const auto& [input, command, flag] : cases) {
        const std::string in = dir + "/" + input, out = dir + "/stream";
        ASSERT_EQ(std::system((command + " " + in + " > " + out).c_str()), 0) << command;
        expectStarted(launch(imageAround(stktest::readHostFile(out), flag)),
                      stktest::readHostFile(in));
    }
    // A size in the header bounds the output, with or without the end marker.
    std::string stream = stktest::readHostFile(dir + "/stream");
    for (uint32_t size : {uint32_t(text.size()), 1000001u}) {
        for (int i = 0; i < 8; ++i) stream[5 + i] = char(i < 4 ? size >> (8 * i) : 0);
        expectStarted(launch(imageAround(stream, kLzma)), text.substr(0, size));
    }
}

TEST_F(LaunchTest, DiagnosticsSelectorLoadRunAndStartUp) {
    EXPECT_EQ(fellActiveImageGet(), 2);  // missing: created with the system image
    EXPECT_EQ(fellActiveImageSet(1), 0);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), std::string("\0\0\0\1", 4));  // a big-endian word
    plat::remove("diag_config.cfg");
    EXPECT_EQ(fellActiveImageSet(1), 0);
    EXPECT_EQ(fellActiveImageGet(), 1);  // from the cache
    EXPECT_FALSE(tb.exists("diag_config.cfg"));
    EXPECT_EQ(fellDiagImageCrcCheck(), 1);
    EXPECT_FALSE(tb.run([] { fellDiagImageRun(); }));
    tb.writeFile("diag_image.stk", "old");
    EXPECT_EQ(fellDiagImageCrcCheck(), 0);
    // A cancelled load keeps the old image.
    for (bool cancel : {true, false}) {
        loadtest::XmodemSender sender(con(), stktest::randomBytes(5000, 61));
        if (cancel) sender.cancelAtStart();
        int rc = -2;
        ASSERT_FALSE(tb.run([&] { rc = fellDiagImageLoad(0x00508541); })) << con().output();
        EXPECT_EQ(rc, cancel ? 1 : 0);
        EXPECT_EQ(tb.readFile("diag_image.stk"), cancel ? "old" : sender.padded());
        EXPECT_FALSE(tb.exists("xcode.bin"));
    }
    EXPECT_TRUE(
        stktest::matchesGolden(con().output(), "launch/launch_texts.txt", "DiagnosticsLoads"));
    // At most 16 MiB are copied to 0x01000000, entered with start type 1.
    const std::string image = stktest::randomBytes((16 << 20) + 4096, 63);
    tb.writeFile("diag_image.stk", image);
    con().clearOutput();
    expectStarted(tb.run([] { fellDiagImageRun(); }), image.substr(0, 16 << 20), 0x01000000);
    EXPECT_EQ(con().output(), "\nReading diag_image.stk into memory\n");
}

// A power cut at any change of the load leaves the old image or the new one.
TEST(DiagnosticsLoad, PowerLossAtEveryStepKeepsAnImage) {
    for (long step = 1; step < 100; ++step) {
        stktest::TestBoard tb;
        tb.writeFile("diag_image.stk", "old image");
        loadtest::XmodemSender sender(tb.con(), stktest::randomBytes(3000, 63), 128);
        tb.disk().powerLossAt(step);
        auto stop = tb.run([] { fellDiagImageLoad(0x00508541); });
        const std::string kept = tb.exists("diag_image.stk") ? tb.readFile("diag_image.stk") : "";
        EXPECT_TRUE(kept == sender.padded() || (stop && kept == "old image")) << step;
        if (!stop) return;
    }
    ADD_FAILURE() << "the load never ended";
}

// The image tool builds what the boot program starts.
TEST_F(LaunchTest, StkimageBuildsWhatTheBootProgramStarts) {
    const std::string dir = tb.dir(), tool = stktest::stkimagePath();
    const std::string firmware = stktest::textBytes(300000, 21);
    stktest::writeHostFile(dir + "/fw", firmware);
    std::string out;
    ASSERT_EQ(stktest::runTool({tool, "create", dir + "/fw", "-o", dir + "/img", "--compression",
                                "lzma", "--stk", "--load-address", "0x00200000"},
                               &out),
              0)
        << out;
    ASSERT_EQ(stktest::runTool({tool, "verify", dir + "/img"}), 0);
    expectStarted(launch(stktest::readHostFile(dir + "/img")), firmware, 0x00200000);
}

}  // namespace
